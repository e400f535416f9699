// ctl_fetch.h - stored blocks fetched from the server over a read session,
// as the restore writer's source of blocks.
#pragma once

#include "tools/ctl/ctl_restore_writer.h"

#include "protocol/session.h"

// A source reading each block from the server through s.
restore_source ctl_server_source(ctfs_session* s);
