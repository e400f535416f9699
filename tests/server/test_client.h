// test_client.h - a minimal agent-side peer for the server's tests and bench:
// greeting, RSA key exchange, framing, and the requests a backup job makes,
// with the block chain (zlib, AES-256-CBC under the account key).
#pragma once

#include "platform/platform.h"
#include "platform/server.h"
#include "tools/server/wire.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct tc_cipher_free {
    void operator()(ctfs_cipher* c) const { ctfs_cipher_free(c); }
};

struct tc_conn {
    plat_net sock = PLAT_NET_INVALID;
    std::unique_ptr<ctfs_cipher, tc_cipher_free> cipher;
    uint16_t seq = 0;
    uint32_t timeout_ms = 10000;
    const char* source = nullptr; // local address to connect from (127.0.0.x plays other peers)
    tc_conn() = default;
    tc_conn(const tc_conn&) = delete;
    tc_conn& operator=(const tc_conn&) = delete;
    ~tc_conn();
};

struct tc_reply {
    uint8_t type = 0;
    uint16_t seq = 0;
    uint8_t status = 0;
    std::vector<uint8_t> payload;
};

// Connects and runs the key exchange; false on any failure.
bool tc_connect(tc_conn* c, uint16_t port, int cipher_mode = 3);
void tc_close(tc_conn* c);
// Connects from c->source without the greeting (a silent or hostile peer).
bool tc_connect_raw(tc_conn* c, uint16_t port);
// Sends one request; no answer read.
bool tc_send(tc_conn* c, uint8_t type, const std::vector<uint8_t>& payload);
// Sends raw bytes as they are (hostile tests).
bool tc_send_raw(tc_conn* c, const void* p, size_t n);
bool tc_recv(tc_conn* c, tc_reply* r);
// Request and answer; 254 when no valid answer came, 9 for a wrong type or
// sequence, else the answer's status.
uint8_t tc_transact(tc_conn* c, uint8_t type, const std::vector<uint8_t>& payload, tc_reply* r);
// True when the server closed the connection (within the client's time-out).
bool tc_closed_by_peer(tc_conn* c);

struct tc_login_info {
    uint32_t account_number = 0;
    std::string account_name, user_name;
    uint32_t user_number = 0;
    uint32_t stamp = 0;
};
uint8_t tc_login(tc_conn* c, uint32_t user, const uint8_t* key_digest, const uint8_t* host,
                 const std::string& schedule, tc_login_info* info = nullptr, int mode = 1);
uint8_t tc_lock(tc_conn* c, uint8_t flags, const std::vector<uint32_t>& ids);
uint8_t tc_release(tc_conn* c, uint32_t stamp);
uint8_t tc_mkdir(tc_conn* c, const std::string& path);
uint8_t tc_delete(tc_conn* c, uint8_t kind, const std::string& path);

struct tc_entry {
    uint8_t type;
    uint32_t mtime;
    uint64_t size;
    std::string name;
};
struct tc_page {
    uint16_t count = 0;
    uint32_t further = 0;
    uint8_t cursor = 0;
    std::vector<tc_entry> entries;
};
uint8_t tc_find(tc_conn* c, uint8_t cursor, uint8_t flags, const std::string& path, tc_page* page,
                const std::string& filter = std::string());

struct tc_open {
    uint8_t handle = 0;
    uint16_t known = 0;
    uint32_t block_size = 0;
    uint16_t blocks = 0;
};
// security: the file's security record as the agent serialises it (empty: none).
uint8_t tc_wopen(tc_conn* c, const std::string& path, uint64_t size, uint32_t mtime, tc_open* o,
                 const std::string& security = std::string());
uint8_t tc_offer(tc_conn* c, uint8_t handle, const uint8_t* md5); // md5 null: empty offer
bool tc_write_silent(tc_conn* c, uint8_t handle, uint8_t type, const uint8_t* p, size_t n);
bool tc_file_close(tc_conn* c, uint8_t handle);
uint8_t tc_email(tc_conn* c, uint64_t schedule_id, const std::vector<std::string>& to,
                 const std::string& body, std::vector<size_t>* piece_sizes = nullptr);

// The agent's block chain: zlib level 9, AES-256-CBC with a zero IV.
std::vector<uint8_t> tc_encode_block(const uint8_t* key, const uint8_t* p, size_t n);
void tc_md5(const uint8_t* p, size_t n, uint8_t* out);
void tc_sha1(const uint8_t* p, size_t n, uint8_t* out);

struct tc_send_stats {
    uint8_t result = 0; // 0 sent, 17 up to date, else the failing status
    int offers_up2date = 0;
    int blocks_sent = 0;
};
// Backs up one file as the agent does: open, offer each block (MD5 below the
// known count, empty above), send what is wanted in writes of 65466 bytes,
// closing checksum, close. stop_after_blocks >= 0 cuts the upload off after
// that many blocks (no close).
tc_send_stats tc_send_file(tc_conn* c, const std::string& path, const std::string& data,
                           uint32_t mtime, const uint8_t* key, int stop_after_blocks = -1,
                           const std::string& security = std::string());
