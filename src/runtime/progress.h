// progress.h - the progress area read by the desktop program, and the
// terminate event by which it stops a job.
//
// The agent keeps a private copy of the 4672-byte record; every update changes
// the copy and then copies the whole record into the shared area. When the
// area could not be created every operation does nothing and
// terminate_requested() answers false.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

enum { PROGRESS_RECORD_SIZE = 4672, PROGRESS_TEXT_SIZE = 240, PROGRESS_ITEM_SIZE = 4096 };

// The shared record (little-endian, unsigned; texts zero-filled).
struct progress_record {
    uint64_t total_bytes;
    uint64_t done_bytes;
    uint64_t reserved1;
    uint64_t items_current;
    uint64_t items_failed;
    uint64_t items_sent;
    uint64_t item_size;
    uint64_t item_done;
    char status_text[PROGRESS_TEXT_SIZE];
    char job_name[PROGRESS_TEXT_SIZE];
    char item_name[PROGRESS_ITEM_SIZE];
    uint16_t created_time[8]; // SYSTEMTIME: year, month, day of week, day, hour, minute, second, ms
    uint32_t created_tick;
    uint32_t backup_tick;
    uint64_t reserved2;
};

enum progress_end_kind {
    // Ends an item without counting it: a failed item is counted once, by
    // progress_count_failed when the report records it (report.h), so that
    // the record, the report and the job log tell one number.
    PROGRESS_END_UNCOUNTED = 0,
    PROGRESS_END_CURRENT = 1,
    PROGRESS_END_FAILED = 2,
    PROGRESS_END_SENT = 3
};

// Creates the shared area under its fixed name, resets the record (created
// time and tick, status "Initializing...") and publishes it, then creates the
// terminate event. Closes a previous area first. 0, also when only the event
// failed (then logged as "CreateEvent failed (n)" in the process log and
// terminate_requested() stays false); -1 when the area could not be created,
// with "Could not create file mapping object ..." and the system's error code
// in the process log. Nothing is handed out.
//
// On Linux the area names the paths being backed up, so only the agent's
// user and root read it unless the installation says otherwise: the file
// etc/progress.readers (relative to the current folder, the installation
// folder) holding "group" opens it to the agent's group, "everyone" to all
// users; no file keeps it the user's, and so does any other word, with a
// line in the process log. A stop is taken only from the agent's own user
// and root; each other one is refused with a line in the process log (the
// first 100; the rest are counted, and progress_close logs their total).
int progress_open();
// progress_open on other names; tests use it to stay clear of a running agent.
int progress_open_names(const char* area_name, const char* event_name);
// The installation's setting of who reads the progress area.
extern const char* const progress_readers_file; // "etc/progress.readers"
// Who the file at path lets read the progress area: its first word that is
// no comment ("#" to the line's end), "group" or "everyone"; PLAT_SHM_OWNER
// for no file, no word or any other word (*unknown, may be null, then says
// whether a word was there that means nothing). Cannot fail.
plat_shm_readers progress_readers_setting(const char* path, bool* unknown = nullptr);
// Releases the area and the event; safe to repeat and when never opened.
void progress_close();
// The updates below change the private copy and publish it; they cannot fail
// (a failed write to the area leaves readers the older record). Texts are
// copied, cut to their field (no terminator when one fills it); a null text
// counts as empty. All may be called from any thread.
void progress_set_status(const char* text);
void progress_set_job_name(const char* text);
// Names the item now being sent, of size bytes, with none done yet.
void progress_begin_item(const char* name, uint64_t size);
// The bytes of the current item done so far (a total, not an increment).
void progress_item_bytes(uint64_t count);
// Ends the current item: its whole size counts as done, and one is added to
// the counter kind names (a progress_end_kind; any other value adds to none).
void progress_end_item(int kind);
// progress_begin_item and progress_end_item in one update, for an item that
// needs no work (a file found current). Readers see it within 50 ms: a run of
// such items is published at most that often, and the next other update
// publishes it in any case.
void progress_pass_item(const char* name, uint64_t size, int kind);
// One more failed item, whatever item is current (the report's count of
// failed files; see PROGRESS_END_UNCOUNTED).
void progress_count_failed();
void progress_set_total(uint64_t bytes);
void progress_set_start_tick(uint32_t tick);
// Status "Complete" and no current item.
void progress_complete();
// True once the terminate event was signalled, or the process was asked to
// end by an interrupt it catches (plat_interrupts_catch), since the last true
// answer (the answer consumes both); false when there is neither.
bool terminate_requested();
// terminate_requested for a loop over many small items: the event is asked at
// most once per tick of plat_tick_ms (1 ms on Linux; on Windows timeGetTime's
// tick, 1 to 16 ms), and a later call within the same tick answers false. A stop is then seen a
// tick later at most, not always at the very next item, for a fraction of the
// cost of asking the system each time.
bool terminate_requested_paced();

// The record as stored in the shared area: little-endian, PROGRESS_RECORD_SIZE
// bytes. A reader decodes a copy it took of the area; texts are copied as they
// are (a text filling its field has no terminator). out and in hold
// PROGRESS_RECORD_SIZE bytes; neither call can fail.
void progress_encode(const progress_record* record, uint8_t* out);
void progress_decode(const uint8_t* in, progress_record* record);
