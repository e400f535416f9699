// protocol_stub.cpp - placeholder until the protocol client lands.
#include "protocol/remote.h"
#include "protocol/session.h"

#include <cstring>

const char* ctfs_msg_name(int) { return "TFS_UNKNOWN"; }
const char* ctfs_err_name(int) { return "ERR_UNKNOWN"; }
const char* ctfs_err_text(int) { return "ERR_DESCRIPTION_UNKNOWN"; }
const char* ctfs_mgnt_name(int) { return "MGNT_UNKNOWN"; }
const char* ctfs_auth_mode_name(int) { return "AUTH_MODE_UNKNOWN"; }
const char* ctfs_acc_type_name(int) { return "ACC_TYPE_UNKNOWN"; }

int ctfs_session_init(ctfs_session* s) {
    memset(s, 0, sizeof *s);
    s->socket = -1;
    s->first_failure = true;
    return 0;
}
void ctfs_session_close(ctfs_session* s) { ctfs_session_init(s); }
tfs_result ctfs_connect(ctfs_session*) { return ERR_IO; }
tfs_result ctfs_handshake(ctfs_session*, const char*, int) { return ERR_IO; }
tfs_result ctfs_read_server_lists(ctfs_session*) { return ERR_BADPATH; }
tfs_result ctfs_session_auth(ctfs_session*, char*, size_t) { return ERR_IO; }
static int g_started = 0;
int ctfs_init() { g_started++; return 0; }
void ctfs_cleanup() { if (g_started) g_started--; }
bool ctfs_started() { return g_started != 0; }

tfs_result ctfs_user_lock(ctfs_session*, const ctfs_lock_request*) { return ERR_IO; }
tfs_result ctfs_mkdir(ctfs_session*, const ctfs_path_request*) { return ERR_IO; }
void safe_mkdir(ctfs_session*, const ctfs_path_request*) {}
tfs_result ctfs_delete(ctfs_session*, const ctfs_path_request*, ctfs_delete_result*) { return ERR_IO; }
tfs_result ctfs_find_files(ctfs_session*, ctfs_find_request* r) { r->entries = nullptr; return ERR_IO; }
void ctfs_find_files_free(ctfs_find_request* r) { blob_list_free(r->entries); r->entries = nullptr; }
tfs_result ctfs_file_wopen(ctfs_session*, ctfs_wopen_request*) { return ERR_IO; }
tfs_result safe_file_wopen(ctfs_session*, ctfs_wopen_request*) { return ERR_IO; }
tfs_result ctfs_file_write(ctfs_session*, ctfs_write_request*) { return ERR_IO; }
tfs_result ctfs_file_close(ctfs_session*, uint8_t) { return ERR_IO; }
tfs_result ctfs_email(ctfs_session*, const ctfs_email_request*) { return ERR_IO; }
void ctfs_set_recovery(uint32_t, bool) {}
