// trace.cpp - the request trace of serve --trace: a decoded request as one
// line of fields that do not depend on the session.
#include "tools/server/trace.h"

#include "common/text.h"
#include "protocol/codes.h"

#include <openssl/sha.h>

#include <cinttypes>
#include <cstdio>

namespace {

void add(std::string* out, const char* fmt, uint64_t v) {
    char buf[48];
    snprintf(buf, sizeof buf, fmt, v);
    *out += buf;
}

// A peer's text as one field: printable bytes as they are, the rest as %XX.
void add_text(std::string* out, const char* name, const std::string& s) {
    static const char digits[] = "0123456789ABCDEF";
    *out += ' ';
    *out += name;
    *out += '=';
    for (unsigned char ch : s) {
        if (ch > 0x20 && ch < 0x7f && ch != '%') {
            *out += static_cast<char>(ch);
        } else {
            *out += '%';
            *out += digits[ch >> 4];
            *out += digits[ch & 15];
        }
    }
}

void add_hex(std::string* out, const char* name, const uint8_t* p, size_t n) {
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    if (n > SHA256_DIGEST_LENGTH) n = SHA256_DIGEST_LENGTH;
    *out += ' ';
    *out += name;
    *out += '=';
    *out += hex_encode(p, n, hex);
}

// The payload's length and digest; the decoder has checked that data_len
// bytes lie inside the packet whenever it accepted the request.
void add_payload(std::string* out, const uint8_t* data, uint16_t len) {
    add(out, " len=%" PRIu64, len);
    uint8_t md[SHA256_DIGEST_LENGTH];
    SHA256(data ? data : reinterpret_cast<const uint8_t*>(""), data ? len : 0, md);
    add_hex(out, "sha256", md, sizeof md);
}

const char* type_name(uint8_t type) {
    switch (type) {
    case TFS_SESSION_AUTH:
        return "auth";
    case TFS_SESSION_CLOSE:
        return "bye";
    case TFS_DELETE:
        return "delete";
    case TFS_MKDIR:
        return "mkdir";
    case TFS_FIND_FILES:
        return "find";
    case TFS_EMAIL:
        return "email";
    case TFS_FILE_WRITE:
        return "write";
    case TFS_FILE_CLOSE:
        return "close";
    case TFS_FILE_WOPEN:
        return "wopen";
    case TFS_USER_LOCK:
        return "lock";
    case TFS_READ_RUNS:
        return "read-runs";
    case TFS_READ_FOLDER:
        return "read-folder";
    case TFS_READ_BLOCKS:
        return "read-blocks";
    case TFS_READ_BLOCK:
        return "read-block";
    default:
        return "type";
    }
}

} // namespace

std::string srv_trace_line(uint64_t conn, const srv_request& rq, uint8_t decode_rc) {
    std::string out;
    add(&out, "c%" PRIu64, conn);
    add(&out, " seq=%" PRIu64, rq.seq);
    out += ' ';
    out += type_name(rq.type);
    add(&out, "(%" PRIu64 ")", rq.type);
    if (decode_rc != 0) {
        // Half-decoded fields of a refused request mean nothing.
        add(&out, " refused=%" PRIu64, decode_rc);
        return out;
    }
    switch (rq.type) {
    case TFS_SESSION_AUTH:
        add(&out, " mode=%" PRIu64, rq.auth_mode);
        if (rq.auth_mode != AUTH_MODE_AGENT) break;
        add(&out, " user=%" PRIu64, rq.user_id);
        add_hex(&out, "host", rq.host_id, sizeof rq.host_id);
        add(&out, " fci=%" PRIu64, rq.fci_started);
        add_text(&out, "job", rq.job_name);
        add_text(&out, "schedule", rq.schedule_name);
        break;
    case TFS_USER_LOCK:
        add(&out, " flags=0x%02" PRIx64, rq.lock_flags);
        for (uint32_t id : rq.lock_ids)
            add(&out, " dest=%" PRIu64, id);
        if (rq.has_stamp) out += " stamp";
        break;
    case TFS_MKDIR:
    case TFS_DELETE:
        add(&out, " kind=%" PRIu64, rq.kind);
        add_text(&out, "path", rq.path);
        break;
    case TFS_FIND_FILES:
        add(&out, " cursor=%" PRIu64, rq.cursor);
        add(&out, " flags=0x%02" PRIx64, rq.list_flags);
        add_text(&out, "filter", rq.filter);
        add_text(&out, "path", rq.path);
        break;
    case TFS_FILE_WOPEN: {
        add(&out, " mode=%" PRIu64, rq.open_mode);
        add(&out, " mtime=%" PRIu64, rq.mtime);
        add(&out, " size=%" PRIu64, rq.size);
        add_text(&out, "path", rq.path);
        uint8_t md[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const uint8_t*>(rq.security.data()), rq.security.size(), md);
        add(&out, " security_len=%" PRIu64, rq.security.size());
        add_hex(&out, "security_sha256", md, sizeof md);
        break;
    }
    case TFS_FILE_WRITE:
        add(&out, " handle=%" PRIu64, rq.handle);
        add(&out, " wtype=%" PRIu64, rq.write_type);
        add_payload(&out, rq.data, rq.data_len);
        break;
    case TFS_FILE_CLOSE:
        add(&out, " handle=%" PRIu64, rq.handle);
        break;
    case TFS_READ_RUNS:
        add(&out, " before=%" PRIu64, rq.read.runs.before);
        add(&out, " limit=%" PRIu64, rq.read.runs.limit);
        break;
    case TFS_READ_FOLDER:
        add(&out, " run=%" PRIu64, rq.read.folder.run);
        add(&out, " at=%" PRIu64, static_cast<uint64_t>(rq.read.folder.at));
        add(&out, " flags=0x%02" PRIx64, rq.read.folder.flags);
        add(&out, " limit=%" PRIu64, rq.read.folder.limit);
        add_text(&out, "path", rq.read.folder.path);
        add_text(&out, "after", rq.read.folder.after);
        break;
    case TFS_READ_BLOCKS:
        add(&out, " run=%" PRIu64, rq.read.blocks.run);
        add(&out, " at=%" PRIu64, static_cast<uint64_t>(rq.read.blocks.at));
        add(&out, " first=%" PRIu64, rq.read.blocks.first);
        add(&out, " limit=%" PRIu64, rq.read.blocks.limit);
        add_text(&out, "path", rq.read.blocks.path);
        break;
    case TFS_READ_BLOCK:
        add_hex(&out, "digest", rq.read.block.digest, sizeof rq.read.block.digest);
        add(&out, " offset=%" PRIu64, rq.read.block.offset);
        add(&out, " length=%" PRIu64, rq.read.block.length);
        break;
    case TFS_EMAIL:
        add(&out, " marker=%" PRIu64, rq.mail_marker);
        if (rq.mail_marker == 0) {
            add(&out, " schedule_id=%" PRIu64, rq.schedule_id);
            for (const std::string& r : rq.recipients)
                add_text(&out, "to", r);
        }
        break;
    default:
        break;
    }
    return out;
}
