// read_wire.h - the read requests of the control tool: list a user's runs,
// list a folder of a run or of a time, list a stored version's blocks, read
// a stored block. Codes, limits, records and the pure encoders and decoders
// of every request and answer, shared by the client (read_client.h), the
// reference server and the fuzz target.
//
// These requests travel on the agent's transport (greeting, key exchange,
// frames, log-in with the account key's digest) but the agent never sends
// them: their types lie outside every range the agent's protocol uses, so a
// server that does not know them answers ERR_INVARG as to any unknown type.
// Block bytes travel as stored, still compressed and encrypted under the
// account key, which never leaves the client.
//
// Encoders write a payload into a caller's buffer (at most CTFS_MAX_PAYLOAD
// bytes) and return its length, 0 when it does not fit or a field is out of
// range. Decoders read exactly one payload and return false for anything
// short, long or out of range; they never read outside [p, p + n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Request types; each answer's type is the request's plus 128.
enum : uint8_t {
    TFS_READ_RUNS = 96,
    TFS_READ_FOLDER = 97,
    TFS_READ_BLOCKS = 98,
    TFS_READ_BLOCK = 99,
};

// Refusals of the read requests beside the protocol's own codes:
//   ERR_ACCESS (4)     before a log-in
//   ERR_INVARG (18)    a malformed request, a page of 0, a path that is not one
//   ERR_DATAMAX (10)   a page or a read larger than the limits below, a block
//                      larger than READ_BLOCK_MAX
//   ERR_BADPATH (1)    no such path at that time
//   ERR_NOTDIR (2)     a folder listing of a file; ERR_NOTFILE (3) the blocks
//                      of a folder
//   ERR_FSACCESS (12)  a block of the user's that the store cannot give
//   ERR_SERVER (30)    the catalog failed
enum : uint8_t {
    ERR_READ_NO_RUN = 96,     // no run of the logged-in user has that id
    ERR_READ_BAD_CURSOR = 97, // a cursor no listing gives (not a name, an offset past the end)
    ERR_READ_NO_BLOCK = 98,   // no version of the logged-in user names that block
};

enum : uint32_t {
    READ_RUNS_PAGE_MAX = 100,
    READ_FOLDER_PAGE_MAX = 1000,
    READ_BLOCKS_PAGE_MAX = 1000,
    READ_CHUNK_MAX = 65024,      // block bytes in one answer
    READ_BLOCK_MAX = 64u << 20,  // stored bytes of a block the server reads out
    READ_NAME_MAX = 1024,        // a cursor name, a path
};

// The text of a read refusal or of any protocol code (ctfs_err_text).
const char* read_err_text(int code);

// ---- runs -------------------------------------------------------------------

struct read_run {
    uint64_t id = 0;
    int64_t started = 0;
    int64_t ended = 0; // 0: the run did not end (killed, cut off, or still running)
    uint32_t destination = 0;
    uint8_t host[20] = {};
    bool vouched = false; // ended with a stamped release the server stood behind
    uint64_t files_sent = 0, bytes_sent = 0, files_skipped = 0, deleted = 0;
    std::string schedule;
};

// Runs newest first: those with an id below before (0: from the newest).
struct read_runs_query {
    uint64_t before = 0;
    uint16_t limit = READ_RUNS_PAGE_MAX;
};
struct read_runs_page {
    bool more = false; // older runs follow: ask again with before = the last id
    std::vector<read_run> runs;
};

// ---- folders ----------------------------------------------------------------

enum : uint8_t {
    READ_FOLDER_HISTORY = 0x01, // also names that were there before the time and gone by it
};

// A folder as it stood at the end of a run (run != 0) or at a time (at,
// seconds since 1970; 0 with run 0: now). Names after `after` (byte order;
// "" for the first page), at most limit.
struct read_folder_query {
    uint64_t run = 0;
    int64_t at = 0;
    uint8_t flags = 0;
    uint16_t limit = READ_FOLDER_PAGE_MAX;
    std::string path; // "" or "/" for the root
    std::string after;
};

enum : uint8_t {
    READ_ENTRY_FOLDER = 0x01,
    READ_ENTRY_DAMAGED = 0x02, // verify found the version damaged
    READ_ENTRY_DELETED_LATER = 0x04, // there at the time, gone now
    READ_ENTRY_GONE = 0x08,    // history only: there before the time, gone by it
};

struct read_entry {
    uint8_t flags = 0;
    uint64_t size = 0;
    uint32_t mtime = 0;    // files: as the client sent it; folders: when made
    int64_t committed = 0; // files: when this version was stored
    uint64_t version = 0;  // files: the version's id
    std::string name;
};

struct read_folder_page {
    int64_t at = 0;    // the time listed (a run's end, or the time asked for)
    bool more = false; // ask again with after = the last name
    std::vector<read_entry> entries;
};

// ---- a version's blocks -----------------------------------------------------

enum : uint8_t {
    READ_BLOCKS_SECURITY = 0x01, // the answer carries the file's security record
};

struct read_blocks_query {
    uint64_t run = 0;
    int64_t at = 0;
    uint8_t flags = 0;
    uint32_t first = 0; // index of the first block wanted
    uint16_t limit = READ_BLOCKS_PAGE_MAX;
    std::string path;
};

struct read_block_ref {
    uint8_t digest[32] = {}; // SHA-256 of the stored bytes: their address
    uint64_t stored = 0;     // stored (compressed, encrypted) bytes
    uint32_t plain = 0;      // the file bytes it holds
    bool damaged = false;    // verify marked the stored block damaged
    bool has_md5 = false;
    uint8_t md5[16] = {}; // MD5 of the plain bytes, as the agent offered it
};

struct read_blocks_page {
    uint64_t version = 0;
    uint64_t size = 0;
    uint32_t mtime = 0;
    int64_t committed = 0;
    uint32_t block_size = 0;
    uint32_t total = 0; // blocks of the version
    bool damaged = false;
    bool has_security = false;
    std::string security;
    uint32_t first = 0;
    std::vector<read_block_ref> blocks;
};

// ---- a block ----------------------------------------------------------------

struct read_block_query {
    uint8_t digest[32] = {};
    uint64_t offset = 0;
    uint32_t length = READ_CHUNK_MAX;
};

struct read_chunk {
    uint64_t total = 0; // the block's stored length
    uint64_t offset = 0;
    uint32_t length = 0;
    const uint8_t* data = nullptr; // points into the decoded payload
};

// ---- codec ------------------------------------------------------------------

// One decoded read request, as the server sees it.
struct read_request {
    uint8_t type = 0;
    read_runs_query runs;
    read_folder_query folder;
    read_blocks_query blocks;
    read_block_query block;
};

// True for the four read request types.
bool read_is_request(uint8_t type);

size_t read_encode_runs_query(const read_runs_query& q, uint8_t* out, size_t cap);
size_t read_encode_folder_query(const read_folder_query& q, uint8_t* out, size_t cap);
size_t read_encode_blocks_query(const read_blocks_query& q, uint8_t* out, size_t cap);
size_t read_encode_block_query(const read_block_query& q, uint8_t* out, size_t cap);

// Decodes the payload of a request of one of the four types. 0, or
// ERR_INVARG (malformed, a page of 0, texts over READ_NAME_MAX bytes,
// run and time both given) or ERR_DATAMAX (a page or read over its limit).
uint8_t read_decode_request(uint8_t type, const uint8_t* p, size_t n, read_request* out);

// Answer writers (the server's). An entry that would not fit is not
// written: each add returns false and leaves the answer as it was, so the
// page ends there. Start with *_begin, add, then *_end for the length.
struct read_answer {
    uint8_t* p;
    size_t cap;
    size_t pos;
    size_t count_at; // where the count field stands
    uint32_t count;
};
read_answer read_runs_begin(uint8_t* out, size_t cap);
bool read_runs_add(read_answer* a, const read_run& r);
size_t read_runs_end(read_answer* a, bool more);

read_answer read_folder_begin(uint8_t* out, size_t cap, int64_t at);
bool read_folder_add(read_answer* a, const read_entry& e);
size_t read_folder_end(read_answer* a, bool more);

// The head of a blocks answer (version fields, total, first; the security
// record when has_security).
read_answer read_blocks_begin(uint8_t* out, size_t cap, const read_blocks_page& head);
bool read_blocks_add(read_answer* a, const read_block_ref& b);
size_t read_blocks_end(read_answer* a);

size_t read_encode_chunk(uint64_t total, uint64_t offset, const uint8_t* data, uint32_t n,
                         uint8_t* out, size_t cap);

// Answer readers (the client's): false for an answer that is short, long,
// or holds more entries than the query allowed.
bool read_decode_runs(const uint8_t* p, size_t n, read_runs_page* out);
bool read_decode_folder(const uint8_t* p, size_t n, read_folder_page* out);
bool read_decode_blocks(const uint8_t* p, size_t n, read_blocks_page* out);
bool read_decode_chunk(const uint8_t* p, size_t n, read_chunk* out);
