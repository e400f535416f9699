// wire.h - the reference server's side of the packet format: answer
// writers, the request decoder (a pure function, fuzzed) and path checks.
//
// Nothing here touches a socket or the store: a plain packet goes in, a
// decoded request (or a result code) comes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include "protocol/frame.h"
#include "protocol/read_wire.h"
#include "protocol/wire.h"

#include <memory>
#include <string>
#include <vector>

// ---- byte order -------------------------------------------------------------
// Writers append to a growing answer; the fixed-size readers and writers,
// the CRC and the frame codec come from the protocol module.

// Readers are the protocol's bounded wire_reader (protocol/wire.h); these add
// texts read into std::string. False (and the reader failed) when short.
bool srv_get_text8(wire_reader* r, std::string* out);
bool srv_get_text16(wire_reader* r, std::string* out);

void srv_put_u8(std::vector<uint8_t>* b, uint8_t v);
void srv_put_u16(std::vector<uint8_t>* b, uint16_t v);
void srv_put_u32(std::vector<uint8_t>* b, uint32_t v);
void srv_put_u64(std::vector<uint8_t>* b, uint64_t v);
// text8 cuts the text at 255 bytes, text16 at 65535.
void srv_put_text8(std::vector<uint8_t>* b, const std::string& s);
void srv_put_text16(std::vector<uint8_t>* b, const std::string& s);

// ---- requests ---------------------------------------------------------------

// Packet limits, lock flags and write types are the protocol's own
// (protocol/frame.h, protocol/codes.h).
enum : size_t {
    SRV_MAX_NAME = 4096, // longest job, schedule or recipient text kept
};

struct srv_request {
    uint8_t type;
    uint16_t seq;
    uint8_t status;
    // TFS_SESSION_AUTH (mode 1; other modes carry only the mode)
    uint8_t auth_mode;
    uint32_t user_id;
    uint8_t key_digest[20];
    uint8_t host_id[20];
    uint32_t fci_started;
    std::string job_name, schedule_name;
    // TFS_USER_LOCK
    uint8_t lock_flags;
    std::vector<uint32_t> lock_ids;
    bool has_stamp;
    uint32_t stamp;
    // TFS_MKDIR, TFS_DELETE (kind), TFS_FIND_FILES (cursor, list flags), TFS_FILE_WOPEN
    uint8_t kind;
    uint8_t cursor;
    uint8_t list_flags;
    std::string filter;
    std::string path;
    uint8_t open_mode;
    uint32_t mtime;
    uint64_t size;
    std::string security;
    // TFS_FILE_WRITE, TFS_FILE_CLOSE
    uint8_t handle;
    uint8_t write_type;
    const uint8_t* data; // points into the decoded packet
    uint16_t data_len;
    // TFS_EMAIL
    uint8_t mail_marker;
    uint64_t schedule_id;
    std::vector<std::string> recipients;
    uint32_t body_len;
    // The control tool's read requests (read_wire.h)
    read_request read;
};

// Decodes one plain packet (header and payload, exactly len bytes). Returns 0
// with *out filled, or ERR_INVARG when the header or the payload is malformed
// for its type (type, seq and status are filled whenever the header was
// readable, so that the refusal can be answered). Unknown types give
// ERR_INVARG. Never reads outside [plain, plain + len).
uint8_t srv_decode_request(const uint8_t* plain, size_t len, srv_request* out);

// True when the request type gets no answer (writes with bit 3, closes).
bool srv_request_silent(const srv_request& rq);

// Checks a client path and gives its stored form: components joined by "/",
// without leading or trailing "/". Refused (false): NUL bytes, empty
// components inside, "." or "..", more than 1024 bytes. allow_root lets the
// empty path (the user's root) through.
bool srv_normalize_path(const std::string& in, bool allow_root, std::string* out);

// ---- frames -----------------------------------------------------------------
// The frame codec and cipher are the protocol's own (protocol/frame.h).

// Builds the 6-byte header and payload of a plain packet.
void srv_build_packet(uint8_t type, uint16_t seq, uint8_t status,
                      const std::vector<uint8_t>& payload, std::vector<uint8_t>* plain);
