// session.h - the client's whole state for one job's server session:
// credentials, server lists, connection and cipher, the packet area, and what
// the server said at log-in.
#pragma once

#include "protocol/codes.h"
#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>

struct ctfs_cipher; // per connection; see transport.h

struct tfs_account_info {
    uint32_t account_number;
    char account_name[126];
    uint8_t account_flag;
    char account_text[257];
};

struct tfs_user_info {
    uint32_t user_number;
    char user_name[21];
    uint8_t user_flag;
    char user_text[256];
    uint8_t user_flag2;
    char user_text2[26];
    char user_text3[43];
    uint64_t user_value1;
    uint64_t user_value2;
    uint16_t user_short;
};

struct ctfs_session;
typedef bool (*ctfs_auth_retry_fn)(ctfs_session* s, int code);
typedef void (*ctfs_connect_hook_fn)(ctfs_session* s);

struct ctfs_session {
    int32_t auth_mode;
    char user_name[21];
    char password[23];
    uint32_t user_id;
    uint8_t host_id[20];
    uint32_t option;
    uint8_t key_digest[20];
    char web_token[256];
    char primary_list[128];
    char secondary_list[128];
    char key_file[132];
    // packet area
    intptr_t socket; // -1 when there is none
    uint16_t len;
    uint8_t type;
    uint16_t seq;
    uint8_t status;
    uint8_t buf[CTFS_PLAIN_MAX];
    bool expects_response;
    int32_t cipher_mode;
    ctfs_cipher* cipher;
    char server_host[1024];
    uint32_t server_port;
    tfs_account_info account;
    tfs_user_info user;
    bool first_failure;
    ctfs_auth_retry_fn auth_retry_hook;
    ctfs_connect_hook_fn before_connect_hook;
    ctfs_connect_hook_fn after_connect_hook;
    uint32_t fci_started;
    uint32_t fci_stamp;
    char job_name[200];
    char schedule_name[200];
    // Number of connections made in this session (each successful handshake
    // adds one), so that a transfer can tell whether it spanned a reconnection.
    uint32_t connections;
    // Number of answers received in this session. An answer on a connection
    // proves that the server read every request sent before it on that
    // connection, such as a file close, which gets no answer of its own.
    uint32_t answers;
    // The value of answers when the current connection was made: the answers
    // the previous connection received before it ended.
    uint32_t answers_at_connect;
};

int ctfs_session_init(ctfs_session* s);
void ctfs_session_close(ctfs_session* s);
tfs_result ctfs_connect(ctfs_session* s);
tfs_result ctfs_handshake(ctfs_session* s, const char* host, int port);
tfs_result ctfs_read_server_lists(ctfs_session* s);
tfs_result ctfs_session_auth(ctfs_session* s, char* token_text_out, size_t token_text_size);

// The socket layer of the process (Windows Sockets start-up).
int ctfs_init();
void ctfs_cleanup();
bool ctfs_started();
