// credentials_internal.h - Linux: local sockets by name, and the sender of
// a datagram on one with SO_PASSCRED, as the kernel names it.
#pragma once

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

// The address of the local socket at path; false (ENAMETOOLONG) for a path
// longer than an address holds.
bool plat_local_address(const std::string& path, sockaddr_un* addr, socklen_t* len);

// Reads the sender's credentials from the control data of a received
// message; descriptors the sender attached are closed unused. True with
// *sender set when the message carried them.
bool plat_take_sender(msghdr* mh, ucred* sender);
