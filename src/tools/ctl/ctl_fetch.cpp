// ctl_fetch.cpp - the restore's blocks read from the server (see ctl_fetch.h).
#include "tools/ctl/ctl_fetch.h"

#include "protocol/read_client.h"

namespace {

bool fetch(void* ctx, const read_block_ref& ref, std::vector<uint8_t>* out, std::string* why) {
    const tfs_result rc = read_block(static_cast<ctfs_session*>(ctx), ref.digest, READ_BLOCK_MAX, out);
    if (rc == ERR_NONE) return true;
    *why = std::string("cannot be read from the server: ") + read_err_text(rc);
    return false;
}

} // namespace

restore_source ctl_server_source(ctfs_session* s) {
    return restore_source{s, fetch};
}
