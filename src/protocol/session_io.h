// session_io.h - the pure readers and writers of the session set-up: server
// list lines and the log-in answer. They work on byte spans only, so tests
// and fuzz targets call them directly.
#pragma once

#include "protocol/session.h"

#include <cstddef>
#include <cstdint>

enum { CTFS_SERVER_HOST_MAX = 1023, CTFS_SERVERS_PER_LIST = 2 };

struct ctfs_server_entry {
    char host[CTFS_SERVER_HOST_MAX + 1];
    int port;
};

struct ctfs_server_list {
    int count;
    ctfs_server_entry entries[CTFS_SERVERS_PER_LIST];
};

// The server table of the process, rebuilt by every ctfs_connect. The
// pointer stays valid for the life of the process; the contents change with
// the next connect, so callers copy an entry before connecting.
struct ctfs_server_table {
    ctfs_server_list primary;
    ctfs_server_list secondary;
};
const ctfs_server_table* ctfs_servers();

// Parses one line of a server-list file ("host:port", with the line end, a
// "#" comment and trailing blanks cut off). @return true for a valid line
// (one with a colon); host is terminated and cut to 1023 characters, port is
// the number after the colon as atoi reads it (unchecked). false leaves out
// untouched.
bool ctfs_parse_server_line(const char* line, ctfs_server_entry* out);
// Reads a server-list file into list (at most 2 entries); 0, or -1 when the
// file cannot be opened (list->count is then 0; errno set).
int ctfs_read_server_file(const char* path, ctfs_server_list* list);

// The fields of a log-in answer (modes 0, 1 and 4, status 0).
struct ctfs_auth_answer {
    uint8_t repeat;
    uint8_t option;
    uint32_t fci_stamp; // only when asked for
    tfs_account_info account;
    tfs_user_info user;
};
// Reads a log-in answer field after field; every text is cut to its field
// less one byte and terminated. want_stamp: the trailing FCI stamp is read.
// @return true when every field was present; false for an answer cut short
// (out then holds what was read, zero elsewhere).
bool ctfs_parse_auth_answer(const uint8_t* p, size_t n, bool want_stamp, ctfs_auth_answer* out);

// Writes the log-in request of the session's auth_mode into the packet area
// as a finished packet. @return 0, or ERR_INVARG for an unknown mode (nothing
// is built) or a request that does not fit (the packet area then holds a
// partial payload).
tfs_result ctfs_build_auth_request(ctfs_session* s);
