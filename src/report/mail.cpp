// mail.cpp - report messages from templates, and their delivery.
//
// A message is a template whose "#NAME#" tokens are replaced by the record's
// values. Success messages go to the server first; whatever the server did
// not take, and every failure message, is written encrypted to a mail-queue
// file for the desktop program. Nothing here logs.
#include "report/mail.h"

#include "keys/crypt_file.h"
#include "common/text.h"
#include "platform/platform.h"
#include "protocol/remote.h"
#include "protocol/session.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

const char* const report_fallback_address = "internal-backup-agent";
const char* const report_template_missing = "\nEmail template missing!";
const char* const report_template_bad = "\nError loading email template!";

// ---- body buffer ---------------------------------------------------------------

int report_body_init(report_body* b, size_t capacity, size_t limit) {
    *b = report_body{};
    if (capacity < 1) capacity = 1;
    char* text = static_cast<char*>(malloc(capacity));
    if (!text) return -1;
    text[0] = 0;
    b->text = text;
    b->capacity = capacity;
    b->limit = limit < capacity ? capacity : limit;
    return 0;
}

void report_body_free(report_body* b) {
    free(b->text);
    *b = report_body{};
}

void report_body_clear(report_body* b) {
    b->length = 0;
    if (b->text) b->text[0] = 0;
}

bool report_body_append(report_body* b, const char* piece, size_t n) {
    if (b->full || !b->text) return false;
    // Room must stay for the terminating zero byte.
    while (b->length + n >= b->capacity) {
        if (b->capacity >= b->limit) {
            b->full = true;
            return false;
        }
        size_t grown = b->capacity > b->limit / 2 ? b->limit : b->capacity * 2;
        char* text = static_cast<char*>(realloc(b->text, grown));
        if (!text) {
            b->full = true;
            return false;
        }
        b->text = text;
        b->capacity = grown;
    }
    if (n) memcpy(b->text + b->length, piece, n);
    b->length += n;
    b->text[b->length] = 0;
    return true;
}

static bool append_text(report_body* b, const char* text) {
    return report_body_append(b, text, text ? strlen(text) : 0);
}

// A value from outside (file names, job and account names, failure texts)
// inside an HTML message: markup characters are escaped so that a file name
// cannot inject markup into the report.
static void append_value(report_body* b, const char* text, bool html) {
    if (!text) return;
    if (!html) {
        append_text(b, text);
        return;
    }
    const char* run = text;
    for (const char* p = text;; p++) {
        const char* entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        default:
            break;
        }
        if (!entity && *p) continue;
        report_body_append(b, run, static_cast<size_t>(p - run));
        if (!*p) return;
        append_text(b, entity);
        run = p + 1;
    }
}

// ---- templates -----------------------------------------------------------------

size_t report_template_from_bytes(char* out, bool opened, const void* data, size_t count) {
    const char* fixed = nullptr;
    if (count > REPORT_TEMPLATE_BUF - 1) count = REPORT_TEMPLATE_BUF - 1;
    if (!opened)
        fixed = report_template_missing;
    else if (count < 1 || count == REPORT_TEMPLATE_BUF - 1 || !data)
        fixed = report_template_bad;
    if (fixed) return copy_string(out, fixed);
    // The template is text: it ends at its first zero byte. Carriage returns
    // go, so CR LF files give bare line feeds.
    const char* in = static_cast<const char*>(data);
    size_t n = 0;
    for (size_t i = 0; i < count && in[i]; i++)
        if (in[i] != '\r') out[n++] = in[i];
    out[n] = 0;
    return n;
}

size_t report_template_load(const char* path, char* out) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(plat_fopen_read(path, false), fclose);
    if (!f) return report_template_from_bytes(out, false, nullptr, 0);
    size_t count = fread(out, 1, REPORT_TEMPLATE_BUF - 1, f.get());
    // Converted in place: the result never runs ahead of the bytes read.
    return report_template_from_bytes(out, true, out, count);
}

std::string report_template_path(const char* base, bool html) {
    std::string path = base ? base : "";
    path += html ? "_html" : "_txt";
    path += ".emt";
    return path;
}

// ---- composition ---------------------------------------------------------------

static void ctime_text(int64_t seconds, char* out, size_t size) {
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = static_cast<std::time_t>(seconds);
    const std::tm* tm = std::localtime(&t); // the job thread is the only user
    if (!tm || tm->tm_wday < 0 || tm->tm_wday > 6 || tm->tm_mon < 0 || tm->tm_mon > 11) {
        out[0] = 0;
        return;
    }
    snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[tm->tm_wday], months[tm->tm_mon],
             tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec, tm->tm_year + 1900);
}

static void size_text(uint64_t bytes, char* out, size_t size) {
    snprintf(out, size, "%" PRIu64 " bytes", bytes);
}

static void count_text(uint64_t n, char* out, size_t size) {
    snprintf(out, size, "%" PRId64, static_cast<int64_t>(n));
}

static void append_dstpath(const job_report* r, bool html, report_body* b) {
    append_text(b, "My Tavni/");
    append_value(b, r->user_name, html);
    const char* d = r->destination;
    if (d && d[0]) {
        const char* slash = strchr(d + 1, '/');
        if (slash) append_value(b, slash, html);
    }
}

static void append_error_list(const job_report* r, bool html, report_body* b) {
    const blob_list* errors = r->errors;
    int32_t count = errors ? blob_list_count(errors) : 0;
    if (html) {
        if (errors && count == 0) {
            append_text(b, "<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");
            return;
        }
        append_text(b,
                    "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>");
    } else if (errors && count == 0) {
        append_text(b, " - None!\n");
        return;
    }
    for (int32_t i = 0; i + 1 < count; i += 2) {
        const char* path = static_cast<const char*>(blob_list_get(errors, i));
        const char* reason = static_cast<const char*>(blob_list_get(errors, i + 1));
        append_text(b, html ? "<tr><td>" : " - ");
        append_value(b, path, html);
        append_text(b, html ? "</td><td>" : ": ");
        append_value(b, reason, html);
        append_text(b, html ? "</td></tr>\n" : "\n");
    }
}

enum token_id {
    T_JOB,
    T_ERROR_MESSAGE,
    T_ACCNAME,
    T_USERNAME,
    T_DSTPATH,
    T_START_TIME,
    T_START_SIZE,
    T_STOP_TIME,
    T_STOP_SIZE,
    T_DELTA_TIME,
    T_DELTA_SIZE,
    T_NUM_REQUESTED,
    T_NUM_TRANSFERED,
    T_NUM_UP2DATE,
    T_NUM_FAILED,
    T_ERROR_LIST,
};

struct token_def {
    const char* text;
    size_t length;
    token_id id;
};

#define TOKEN(s, id)                                                                               \
    { s, sizeof(s) - 1, id }
// In the order in which they are tried.
static const token_def k_tokens[] = {
    TOKEN("#JOB#", T_JOB),
    TOKEN("#ERROR_MESSAGE#", T_ERROR_MESSAGE),
    TOKEN("#ACCNAME#", T_ACCNAME),
    TOKEN("#USERNAME#", T_USERNAME),
    TOKEN("#DSTPATH#", T_DSTPATH),
    TOKEN("#START_TIME#", T_START_TIME),
    TOKEN("#START_SIZE#", T_START_SIZE),
    TOKEN("#STOP_TIME#", T_STOP_TIME),
    TOKEN("#STOP_SIZE#", T_STOP_SIZE),
    TOKEN("#DELTA_TIME#", T_DELTA_TIME),
    TOKEN("#DELTA_SIZE#", T_DELTA_SIZE),
    TOKEN("#NUM_REQUESTED#", T_NUM_REQUESTED),
    TOKEN("#NUM_TRANSFERED#", T_NUM_TRANSFERED),
    TOKEN("#NUM_UP2DATE#", T_NUM_UP2DATE),
    TOKEN("#NUM_FAILED#", T_NUM_FAILED),
    TOKEN("#ERROR_LIST#", T_ERROR_LIST),
};
#undef TOKEN

static void append_token(const job_report* r, token_id id, bool html, report_body* b) {
    char text[64];
    switch (id) {
    case T_JOB:
        append_value(b, r->job_name, html);
        return;
    case T_ERROR_MESSAGE:
        append_value(b, r->failure_message, html);
        return;
    case T_ACCNAME:
        append_value(b, r->account_name, html);
        return;
    case T_USERNAME:
        append_value(b, r->user_name, html);
        return;
    case T_DSTPATH:
        append_dstpath(r, html, b);
        return;
    case T_START_TIME:
        ctime_text(r->start_time, text, sizeof text);
        break;
    case T_START_SIZE:
        size_text(r->start_size, text, sizeof text);
        break;
    case T_STOP_TIME:
        ctime_text(r->stop_time, text, sizeof text);
        break;
    case T_STOP_SIZE:
        size_text(r->stop_size, text, sizeof text);
        break;
    case T_DELTA_TIME:
        duration_text(static_cast<uint32_t>(r->stop_time - r->start_time), text);
        break;
    case T_DELTA_SIZE:
        size_text(r->stop_size - r->start_size, text, sizeof text);
        break;
    case T_NUM_REQUESTED:
        count_text(r->files_requested, text, sizeof text);
        break;
    case T_NUM_TRANSFERED:
        count_text(r->files_transferred, text, sizeof text);
        break;
    case T_NUM_UP2DATE:
        count_text(r->files_up_to_date, text, sizeof text);
        break;
    case T_NUM_FAILED:
        count_text(r->files_failed, text, sizeof text);
        break;
    case T_ERROR_LIST:
        append_error_list(r, html, b);
        return;
    }
    append_text(b, text);
}

bool report_expand(const job_report* r, const char* tmpl, size_t len, bool html,
                   report_body* body) {
    report_body_clear(body);
    size_t pos = 0;
    while (pos < len) {
        const char* hash = static_cast<const char*>(memchr(tmpl + pos, '#', len - pos));
        if (!hash) {
            report_body_append(body, tmpl + pos, len - pos);
            break;
        }
        size_t at = static_cast<size_t>(hash - tmpl);
        report_body_append(body, tmpl + pos, at - pos);
        size_t left = len - at;
        const token_def* match = nullptr;
        for (const token_def& t : k_tokens) {
            if (t.length <= left && memcmp(hash, t.text, t.length) == 0) {
                match = &t;
                break;
            }
        }
        if (match) {
            append_token(r, match->id, html, body);
            pos = at + match->length;
        } else {
            report_body_append(body, "#", 1);
            pos = at + 1;
        }
    }
    return !body->full;
}

int report_parse_recipient(const char* entry, int default_flags, const char** address) {
    const char* comma = strchr(entry, ',');
    if (!comma) {
        *address = entry;
        return default_flags;
    }
    *address = comma + 1;
    // Leading blanks, a sign and digits, as atoi reads them, but saturated
    // instead of overflowing.
    const char* p = entry;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

// ---- delivery ------------------------------------------------------------------

std::string report_queue_header(const job_report* r, const char* address) {
    char line[96];
    std::string h = "# Tavni Mail Queue\nOpcode=0\n";
    snprintf(line, sizeof line, "ScheduleId=%" PRId64 "\n", r->schedule_id);
    h += line;
    snprintf(line, sizeof line, "UserId=%" PRIu32 "\n", r->user_id);
    h += line;
    h += "EncryptionToken=";
    h.append(r->encryption_token, strnlen(r->encryption_token, REPORT_TOKEN_CHARS));
    h += "\nTo=";
    h += address ? address : "";
    h += "\n[message]\n";
    return h;
}

static bool file_exists(const std::string& path) {
    FILE* f = plat_fopen_read(path.c_str(), false);
    if (!f) return false;
    fclose(f);
    return true;
}

// The schedule path behind a queue path: "S.eml" or "S-d.eml". When both
// readings are possible, the one whose schedule file exists wins.
static std::string schedule_of_queue_path(const std::string& q) {
    static const char ext[] = ".eml";
    const size_t ext_len = sizeof ext - 1;
    if (q.size() < ext_len || q.compare(q.size() - ext_len, ext_len, ext) != 0) return q;
    std::string plain = q.substr(0, q.size() - ext_len);
    size_t n = plain.size();
    if (n >= 3 && plain[n - 2] == '-' && plain[n - 1] >= '1' && plain[n - 1] <= '9') {
        std::string numbered = plain.substr(0, n - 2);
        if (file_exists(numbered) || !file_exists(plain)) return numbered;
    }
    return plain;
}

std::string report_next_queue_path(const char* first_path) {
    std::string base = schedule_of_queue_path(first_path ? first_path : "");
    std::string name;
    char suffix[16];
    for (int i = 1; i <= 9; i++) {
        snprintf(suffix, sizeof suffix, "-%d.eml", i);
        name = base + suffix;
        if (!file_exists(name)) break;
    }
    return name;
}

typedef std::unique_ptr<FILE, int (*)(FILE*)> file_holder;

// Writes one message to the next queue file of this report. 0, or -1 when
// the message could not be written (nothing is left behind then). The file
// is created owner-only: it carries the account's token.
static int write_queue_file(job_report* r, const char* address) {
    const char* first = r->queue_path ? r->queue_path : "";
    std::string path = r->queue_files == 0 ? std::string(first) : report_next_queue_path(first);
    file_holder f(plat_open_private(path.c_str(), PLAT_PRIVATE_TRUNCATE), fclose);
    if (!f) return -1;
    crypt_file cf;
    int rc = crypt_file_open(&cf, f.get(), 1);
    if (rc == 0) {
        std::string header = report_queue_header(r, address);
        crypt_file_write(&cf, header.data(), header.size());
        if (r->body.text && r->body.length) crypt_file_write(&cf, r->body.text, r->body.length);
        rc = crypt_file_finish(&cf);
    }
    if (fclose(f.release()) != 0) rc = -1;
    if (rc != 0) {
        // A file that cannot be decrypted would only hold up the desktop program.
        remove(path.c_str());
        return -1;
    }
    r->queue_files++;
    return 0;
}

int report_deliver(job_report* r, const char* base, const char* address, int flags) {
    if ((flags & REPORT_FLAG_ERRORS_ONLY) && r->errors && blob_list_count(r->errors) == 0) return 0;
    const bool html = (flags & REPORT_FLAG_HTML) != 0;
    std::string path = report_template_path(base, html);
    std::unique_ptr<char[]> tmpl(new char[REPORT_TEMPLATE_BUF]);
    size_t len = report_template_load(path.c_str(), tmpl.get());
    if (!report_expand(r, tmpl.get(), len, html, &r->body)) r->state = REPORT_BROKEN;

    if (base && strcmp(base, "etc/success") == 0 && r->session) {
        blob_list* to = blob_list_new(1, 1, blob_list_default_destroy);
        blob_list_append_text(to, address);
        ctfs_email_request req{};
        req.schedule_id = r->schedule_id;
        req.recipients = to;
        req.body_length = static_cast<uint32_t>(r->body.length);
        req.body = r->body.text ? r->body.text : "";
        tfs_result result = report_mail_sender()(r->session, &req);
        blob_list_free(to);
        if (result == 0) return 1;
    }
    if (write_queue_file(r, address) != 0) {
        r->lost_messages++;
        r->state = REPORT_BROKEN;
    }
    return 1;
}

void report_send(job_report* r, const char* base) {
    int delivered = 0;
    const blob_list* list = r->recipients;
    int32_t count = list ? blob_list_count(list) : 0;
    r->queue_files = 0;
    r->lost_messages = 0;
    for (int32_t i = 0; i < count; i++) {
        const char* entry = static_cast<const char*>(blob_list_get(list, i));
        if (!entry) continue;
        const char* address = entry;
        int flags = report_parse_recipient(entry, r->default_flags, &address);
        delivered += report_deliver(r, base, address, flags);
    }
    if (delivered == 0) report_deliver(r, base, report_fallback_address, REPORT_FLAG_HTML);
}
