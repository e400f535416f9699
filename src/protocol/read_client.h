// read_client.h - the control tool's side of the read requests (read_wire.h):
// log in to a server and list runs, folders and a version's blocks, and read
// stored blocks, over one session.
//
// Every call goes through ctfs_transact (transport.h) on a session that
// read_connect logged in (or that ctfs_session_auth did, from server lists).
// Results: ERR_NONE; ERR_INVARG, unsent, for a query that does not fit a
// request; the transport's failure (ERR_SCKWRITE, ERR_SCKREAD, ERR_SEQUENCE
// for an answer of another type or sequence, or the failure of a
// reconnection); the server's status (read_wire.h lists the refusals;
// read_err_text names them); ERR_SEQUENCE for an answer that does not decode.
// Nothing here logs. Block bytes come back as stored: the caller decrypts
// them with the account key, which no request carries (only its SHA-1
// digest, at log-in).
#pragma once

#include "protocol/read_wire.h"
#include "protocol/session.h"

#include <cstdint>
#include <string>
#include <vector>

// Starts the session record (ctfs_session_init) for an agent-mode log-in
// as user with the account key's SHA-1 digest and a host id (the machine's,
// or zeros), and connects to host:port, exchanges the key and logs in.
// ctfs_init must have been called. ERR_NONE; ctfs_handshake's failure; the
// server's refusal of the log-in (ERR_AUTH_FAILURE for a wrong key); or
// ERR_SEQUENCE for a log-in answer cut short. A connection lost later is
// made again by ctfs_transact only when primary_list names the server; close
// with ctfs_session_close. pin_file (null or "": none) is checked as
// ctfs_handshake checks it, before anything of the log-in is sent; it is
// never written.
tfs_result read_connect(ctfs_session* s, const char* host, int port, uint32_t user,
                        const uint8_t key_digest[20], const uint8_t host_id[20],
                        const char* pin_file = nullptr);

// One page of each listing (the query's limit at most; the answer may hold
// fewer, with more set when anything follows).
tfs_result read_list_runs(ctfs_session* s, const read_runs_query& q, read_runs_page* out);
tfs_result read_list_folder(ctfs_session* s, const read_folder_query& q, read_folder_page* out);
tfs_result read_block_list_page(ctfs_session* s, const read_blocks_query& q,
                                read_blocks_page* out);
// One piece of a stored block. out->data points into the session's packet
// area: copy it before the next request.
tfs_result read_block_chunk(ctfs_session* s, const read_block_query& q, read_chunk* out);

// Every run, newest first, page after page.
tfs_result read_all_runs(ctfs_session* s, std::vector<read_run>* out);
// Every block of the version of path current at the end of run (run != 0),
// at time at, or now (both 0), with the security record, page after page:
// out's blocks hold all of them, in order (first 0). ERR_SEQUENCE when the
// pages disagree about the version.
tfs_result read_block_list(ctfs_session* s, uint64_t run, int64_t at, const std::string& path,
                           read_blocks_page* out);
// A whole stored block into out: its first chunk, then the others asked
// for a few ahead of their answers (ctfs_send_ahead). ERR_DATAMAX, after
// its first chunk, for a block longer than max_stored; ERR_SEQUENCE when
// the chunks disagree about its length or come short. After a refusal of a
// later chunk the answers already asked for are read, and the session stays
// of use; after a transport failure its connection is dropped.
tfs_result read_block(ctfs_session* s, const uint8_t digest[32], uint64_t max_stored,
                      std::vector<uint8_t>* out);
