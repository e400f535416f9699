// credentials_internal.h - Linux: the sender of a datagram on a local socket
// with SO_PASSCRED, as the kernel names it.
#pragma once

#include <sys/socket.h>

// Reads the sender's credentials from the control data of a received
// message; descriptors the sender attached are closed unused. True with
// *sender set when the message carried them.
bool plat_take_sender(msghdr* mh, ucred* sender);
