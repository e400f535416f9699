// schedule.cpp - the schedule text: the job's schedule and its values, the
// plain-text parser and its checks, the encrypted file's reading and rewrite.
#include "backup/schedule/schedule.h"

#include "keys/crypt_file.h"
#include "backup/schedule/filter_value.h"
#include "runtime/log.h"
#include "common/mem.h"
#include "common/text.h"
#include "platform/platform.h"

#include <openssl/crypto.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

const char schedule_header[] = "# Tavni Backup Schedule";
static_assert(sizeof schedule_header - 1 == SCHEDULE_HEADER_LEN, "header length");

const schedule_key schedule_keys[SCHED_KEY_COUNT] = {
    {"UserId=", true},        {"AccountId=", true},   {"Schedule=", true}, {"Dest=", true},
    {"name=", true},          {"enabled=", true},     {"acckey=", true},   {"autoremove=", true},
    {"mirror=", true},        {"precmd=", false},     {"postcmd=", false}, {"fatalprecmd=", false},
    {"fatalpostcmd=", false}, {"cmdtimeout=", false},
};

namespace {

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

schedule g_job;
bool g_job_active = false;

bool key_matches(const char* line, const char* key) {
    return compare_nocase_n(line, key, strlen(key)) == 0;
}

// Decimal value as atoi reads it, saturated instead of overflowing.
long decimal_value(const char* p) {
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (v < INT_MAX) v = v * 10 + (*p - '0');
    if (v > INT_MAX) v = INT_MAX;
    return negative ? -v : v;
}

// One hex digit as the desktop side's decoder reads it: other characters are
// not refused, they simply give some value.
int acckey_digit(unsigned char c) {
    if (c > 96) return c - 87;
    if (c <= 64) return c - 48;
    return c - 55;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void log_value(const char* value, const char* key) {
    job_log_printf("Got value of '%s' for '%s'\n", value, key);
}

int compare_filters_descending(const void* a, const void* b) {
    const folder_filter* fa = static_cast<const folder_filter*>(a);
    const folder_filter* fb = static_cast<const folder_filter*>(b);
    return compare_nocase(fb->folder, fa->folder);
}

char* reader_gets(void* ctx, char* buf, int size) {
    return crypt_file_gets(static_cast<crypt_file*>(ctx), buf, size);
}

} // namespace

// ---- the record -----------------------------------------------------------------

void schedule_init(schedule* s) {
    memset(s, 0, sizeof *s);
    s->sources = blob_list_new(50, 25, nullptr);
    s->filters = blob_list_new(10, 10, folder_filter_destroy);
    s->excluded = blob_list_new(1, 1, nullptr);
    s->sync = blob_list_new(1, 10, nullptr);
    s->recipients = nullptr;
    s->html = 1;
}

void schedule_release(schedule* s) {
    if (!s) return;
    for (int i = 0; i < SCHED_KEY_COUNT; i++) {
        if (!s->owned[i]) continue;
        char* value = const_cast<char*>(s->values[i]);
        if (i == SCHED_ACCKEY) OPENSSL_cleanse(value, strlen(value));
        free(value);
    }
    blob_list_free(s->sources);
    blob_list_free(s->filters);
    blob_list_free(s->excluded);
    blob_list_free(s->sync);
    blob_list_free(s->recipients);
    free(s->path);
    free(s->mail_queue_path);
    OPENSSL_cleanse(s->account_key, sizeof s->account_key);
    memset(s, 0, sizeof *s);
}

schedule* current_schedule() {
    return g_job_active ? &g_job : nullptr;
}

const char* schedule_value(const schedule* s, schedule_key_id key) {
    if (!s || key < 0 || key >= SCHED_KEY_COUNT) return nullptr;
    return s->values[key];
}

void schedule_release_current() {
    if (g_job_active) schedule_release(&g_job);
    g_job_active = false;
}

// ---- parsing ------------------------------------------------------------------------

bool schedule_header_ok(const char* line) {
    return line && strncmp(line, schedule_header, SCHEDULE_HEADER_LEN) == 0;
}

int schedule_parse_line(schedule* s, char* line) {
    if (line[0] == ';' || line[0] == '#') {
        copy_bounded(s->last_line, sizeof s->last_line, line);
        return 0;
    }
    if (char* nl = strchr(line, '\n')) *nl = 0;
    if (char* cr = strchr(line, '\r')) *cr = 0;
    copy_bounded(s->last_line, sizeof s->last_line, line);

    if (key_matches(line, "Src=")) {
        blob_list_append_text(s->sources, line + 4);
        log_value(line + 4, "Src=");
        return 0;
    }
    if (key_matches(line, "filter=")) {
        parse_filter_value(line + 7, s->filters);
        return 0;
    }
    if (key_matches(line, "XSrc=")) {
        blob_list_append_text(s->excluded, line + 5);
        log_value(line + 5, "XSrc=");
        return 0;
    }
    if (key_matches(line, "Sync=")) {
        blob_list_append_text(s->sync, line + 5);
        log_value(line + 5, "Sync=");
        return 0;
    }

    if (key_matches(line, "Email=")) {
        if (s->recipients) {
            job_log_printf(
                "FATAL: Got value for Email= when we already got value for schedule_email=\n");
            return SCHEDULE_EMAIL_CONFLICT;
        }
        const char* value = line + 6;
        log_value(value, "Email=");
        s->recipients = split_to_list(value, ",", nullptr);
        if (!s->recipients) {
            job_log_printf("FATAL: OUT OF MEMORY while building email list.\n");
            return SCHEDULE_EMAIL_NO_MEMORY;
        }
    }
    if (key_matches(line, "html=")) {
        log_value(line + 5, "html=");
        s->html = decimal_value(line + 5) != 0;
    }
    if (key_matches(line, "schedule_email=")) {
        const char* value = line + 15;
        if (s->recipients) {
            job_log_printf("Got redundant entry value of '%s' for '%s' (IGNORING)\n", value,
                           "schedule_email=");
        } else {
            s->recipients = blob_list_new(16, 4, nullptr);
            log_value(value, "schedule_email=");
            blob_list_append_text(s->recipients, value);
        }
    }
    for (int k = 0; k < SCHED_KEY_COUNT; k++) {
        const char* key = schedule_keys[k].name;
        if (!key_matches(line, key)) continue;
        if (s->seen[k]) {
            job_log_printf("Got too many entries for '%s'; Aborting.\n", key);
            return SCHEDULE_TOO_MANY;
        }
        const char* value = line + strlen(key);
        s->seen[k] = true;
        s->values[k] = bytes_to_string(value, strlen(value));
        s->owned[k] = true;
        if (k == SCHED_ACCKEY)
            job_log_printf("Got value of '[masked encryption key from log output]' for '%s'\n",
                           key);
        else
            log_value(value, key);
        break;
    }
    return 0;
}

int schedule_parse(schedule* s, schedule_gets_fn next_line, void* ctx) {
    char line[SCHEDULE_LINE_SIZE];
    if (!next_line(ctx, line, sizeof line)) {
        job_log_printf("Unable to decrypt file; aborting.\n");
        return SCHEDULE_NO_TEXT;
    }
    if (!schedule_header_ok(line)) {
        job_log_printf("Invalid TBS header; aborting.\n");
        return SCHEDULE_BAD_HEADER;
    }
    copy_bounded(s->last_line, sizeof s->last_line, line);
    job_log_printf("Parsing TBS file...\n");
    while (next_line(ctx, line, sizeof line)) {
        int rc = schedule_parse_line(s, line);
        if (rc != 0) return rc;
    }
    return 0;
}

int schedule_check(schedule* s, int* runs) {
    *runs = 0;
    // Built-in defaults are not owned: release leaves them alone.
    if (s->owned[SCHED_AUTOREMOVE]) free(const_cast<char*>(s->values[SCHED_AUTOREMOVE]));
    s->values[SCHED_AUTOREMOVE] = "0";
    s->owned[SCHED_AUTOREMOVE] = false;
    s->seen[SCHED_AUTOREMOVE] = true;
    const struct {
        schedule_key_id key;
        const char* value;
    } defaults[] = {{SCHED_MIRROR, "1"}, {SCHED_FATALPRECMD, "0"}, {SCHED_FATALPOSTCMD, "0"}};
    for (const auto& d : defaults) {
        if (s->seen[d.key]) continue;
        s->values[d.key] = d.value;
        s->seen[d.key] = true;
    }

    for (int k = 0; k < SCHED_KEY_COUNT; k++) {
        if (schedule_keys[k].required && !s->seen[k]) {
            job_log_printf("The required '%s' option was not scpecified; aborting.\n",
                           schedule_keys[k].name);
            return SCHEDULE_MISSING_KEY;
        }
    }
    if (strcmp(s->values[SCHED_ENABLED], "1") != 0) {
        job_log_printf("The schedule is disabled; aborting.\n");
        return SCHEDULE_OK;
    }
    const char* hex = s->values[SCHED_ACCKEY];
    if (strlen(hex) != ACCOUNT_KEY_HEX) {
        job_log_printf("Error parsing encryption key; aborting.\n");
        return SCHEDULE_BAD_ACCKEY;
    }
    for (int i = 0; i < ACCOUNT_KEY_SIZE; i++) {
        int hi = acckey_digit(static_cast<unsigned char>(hex[2 * i]));
        int lo = acckey_digit(static_cast<unsigned char>(hex[2 * i + 1]));
        s->account_key[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    *runs = 1;
    return SCHEDULE_OK;
}

int64_t schedule_number_from_line(const char* line) {
    const char* dot = strrchr(line, '.');
    if (!dot || dot - line < 8) return 0;
    int64_t v = 0;
    for (const char* p = dot - 8; p < dot; p++) {
        int d = hex_digit(*p);
        if (d < 0) return 0;
        v = v * 16 + d;
    }
    return v;
}

char* schedule_mail_queue_name(const char* path) {
    size_t room = strlen(path) + sizeof "-9.eml";
    char* name = static_cast<char*>(mem_alloc(room));
    snprintf(name, room, "%s.eml", path);
    for (int i = 1;; i++) {
        FILE* f = plat_fopen_read(name, false);
        if (!f) break;
        fclose(f);
        snprintf(name, room, "%s-%d.eml", path, i);
        if (i == 9) break;
    }
    return name;
}

void schedule_sort_filters(blob_list* filters) {
    blob_list_sort(filters, compare_filters_descending);
}

char* text_reader_gets(void* reader, char* buf, int size) {
    text_reader* r = static_cast<text_reader*>(reader);
    if (!r || !buf || size < 2 || r->pos >= r->size) return nullptr;
    size_t room = static_cast<size_t>(size - 1);
    size_t avail = r->size - r->pos;
    size_t n = avail < room ? avail : room;
    const void* nl = memchr(r->data + r->pos, '\n', n);
    if (nl) n = static_cast<size_t>(static_cast<const char*>(nl) - (r->data + r->pos)) + 1;
    memcpy(buf, r->data + r->pos, n);
    buf[n] = 0;
    r->pos += n;
    return buf;
}

// ---- the job's schedule file --------------------------------------------------------

int schedule_load_current(const char* path, int* runs) {
    *runs = 0;
    schedule_release_current();
    file_ptr file(plat_fopen_read(path, false));
    if (!file) {
        job_log_printf("Cound not open schedule file '%s'; aborting.\n", path);
        return SCHEDULE_CANNOT_OPEN;
    }
    crypt_file reader;
    if (crypt_file_open(&reader, file.get(), 0) != 0) {
        job_log_printf("Unable to initialize crypto on file; aborting.\n");
        return SCHEDULE_NO_CRYPTO;
    }

    schedule* s = &g_job;
    schedule_init(s);
    g_job_active = true;
    int rc = schedule_parse(s, reader_gets, &reader);
    if (rc == 0 && reader.damaged) {
        // The last block did not decrypt: the file was cut or altered, and its
        // final lines are lost. Running on with part of a schedule would
        // silently back up less than the user chose.
        job_log_printf("Unable to decrypt file; aborting.\n");
        rc = SCHEDULE_NO_TEXT;
    }
    crypt_file_finish(&reader);
    file.reset();
    if (rc != 0) {
        schedule_release_current();
        return rc;
    }
    job_log_printf("Parsing TBS file: complete.\n");

    rc = schedule_check(s, runs);
    if (rc != 0 || !*runs) schedule_release_current();
    return rc;
}

// ---- rewrite --------------------------------------------------------------------------

int schedule_rewrite(const char* path) {
    schedule* s = current_schedule();
    if (!s) return REWRITE_NO_READER;
    return schedule_rewrite_sources(path, s->sources);
}

int schedule_rewrite_sources(const char* path, const blob_list* sources) {
    if (!path || !sources) return REWRITE_NO_READER;
    file_ptr in(plat_fopen_read(path, false));
    if (!in) return REWRITE_CANNOT_OPEN;
    crypt_file reader;
    if (crypt_file_open(&reader, in.get(), 0) != 0) return REWRITE_NO_READER;
    char line[1024];
    if (!crypt_file_gets(&reader, line, sizeof line)) {
        crypt_file_finish(&reader);
        return REWRITE_EMPTY;
    }
    if (!schedule_header_ok(line)) {
        crypt_file_finish(&reader);
        return REWRITE_BAD_HEADER;
    }

    char temp_name[32];
    snprintf(temp_name, sizeof temp_name, ".backuptmp_%d", plat_process_id());
    // The copy holds the schedule's keys (encrypted): owner-only, like the
    // schedule itself.
    file_ptr temp(plat_open_private(temp_name, PLAT_PRIVATE_TRUNCATE));
    if (!temp) {
        crypt_file_finish(&reader);
        return REWRITE_NO_TEMP;
    }
    crypt_file writer;
    if (crypt_file_open(&writer, temp.get(), 1) != 0) {
        crypt_file_finish(&reader);
        temp.reset();
        remove(temp_name);
        return REWRITE_NO_WRITER;
    }
    crypt_file_write(&writer, schedule_header, SCHEDULE_HEADER_LEN);
    crypt_file_write(&writer, "\n", 1);
    while (crypt_file_gets(&reader, line, sizeof line)) {
        if (key_matches(line, "Src=")) continue;
        crypt_file_write(&writer, line, strlen(line));
    }
    for (int32_t i = 0; i < blob_list_count(sources); i++) {
        const char* src = static_cast<const char*>(blob_list_get(sources, i));
        crypt_file_write(&writer, "Src=", 4);
        crypt_file_write(&writer, src, strlen(src));
        crypt_file_write(&writer, "\n", 1);
    }
    // A damaged schedule would be replaced by its readable part only.
    bool damaged = reader.damaged != 0;
    crypt_file_finish(&reader);
    in.reset();
    if (damaged) {
        crypt_file_finish(&writer);
        temp.reset();
        remove(temp_name);
        return REWRITE_NO_READER;
    }
    // A writer that failed leaves the schedule as it was instead of
    // replacing it with a truncated copy.
    if (crypt_file_finish(&writer) != 0) {
        temp.reset();
        remove(temp_name);
        return REWRITE_NO_WRITER;
    }
    if (fclose(temp.release()) != 0) {
        remove(temp_name);
        return REWRITE_NO_WRITER;
    }
    file_ptr copy(plat_fopen_read(temp_name, false));
    // The schedule is written in place of whatever now bears its name: never
    // through a link planted there since it was read.
    file_ptr out(copy ? plat_open_private(path, PLAT_PRIVATE_TRUNCATE) : nullptr);
    if (!out) {
        copy.reset();
        remove(temp_name);
        return REWRITE_CANNOT_REOPEN;
    }
    char block[1024];
    size_t n;
    while ((n = fread(block, 1, sizeof block, copy.get())) > 0)
        fwrite(block, 1, n, out.get());
    out.reset();
    copy.reset();
    remove(temp_name);
    return REWRITE_OK;
}
