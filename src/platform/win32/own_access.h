// own_access.h - Windows: an access list of a file's own, not inherited from
// its folder, for files that hold or protect keys (crash dumps, the pinned
// server keys). Included only by src/platform/win32/.
#pragma once

#include "platform/win32/handle.h"

#include <windows.h>

namespace win32 {

// Everything lives in this record (no heap): the crash dump builds it with a
// damaged heap perhaps.
struct own_access {
    SECURITY_DESCRIPTOR descriptor;
    DWORD acl[256]; // an ACL, DWORD-aligned
    DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
    DWORD admins[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1];
    DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1];
};

// Fills s with a protected list granting full access to the process's user
// and SYSTEM, and to Administrators when with_admins; false (last error
// set) when the user or the list cannot be made.
inline bool build_own_access(own_access* s, bool with_admins) {
    HANDLE opened = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
        return false;
    kernel_handle token(opened);
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, s->user, sizeof s->user, &length))
        return false;
    token.reset();
    PSID user = reinterpret_cast<TOKEN_USER*>(s->user)->User.Sid;
    DWORD size = sizeof s->admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, s->admins, &size)) return false;
    size = sizeof s->system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, s->system, &size)) return false;
    PACL acl = reinterpret_cast<PACL>(s->acl);
    if (!InitializeAcl(acl, sizeof s->acl, ACL_REVISION)) return false;
    if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, s->system))
        return false;
    if (with_admins && !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, s->admins))
        return false;
    return InitializeSecurityDescriptor(&s->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&s->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&s->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

} // namespace win32
