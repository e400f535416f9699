// win_dump_access_test.cpp - a full-memory dump holds the keys: its file
// carries an access list of its own that grants the process's user,
// Administrators and SYSTEM and nobody else, also when a file of that name
// existed. Built for Windows only.
#include "platform/platform.h"

#include "support/wine.h"

#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The SIDs of the access list's entries, in order, and whether the list is
// protected from inheritance; false when it cannot be read.
bool read_dump_access(const std::string& path, std::vector<std::vector<BYTE>>* sids,
                      bool* is_protected) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    *is_protected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) break;
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            sids->push_back({}); // anything but a grant counts as a stranger
            continue;
        }
        PSID sid = &allowed->SidStart;
        const BYTE* bytes = static_cast<const BYTE*>(sid);
        sids->emplace_back(bytes, bytes + GetLengthSid(sid));
    }
    LocalFree(sd);
    return true;
}

std::vector<BYTE> well_known(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

std::vector<BYTE> process_user() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::vector<BYTE> buf(512);
    DWORD len = 0;
    BOOL ok =
        GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &len);
    CloseHandle(token);
    if (!ok) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

void expect_private_dump(const std::string& path) {
    std::vector<std::vector<BYTE>> sids;
    bool is_protected = false;
    ASSERT_TRUE(read_dump_access(path, &sids, &is_protected)) << GetLastError();
    if (under_wine()) {
        // Wine keeps no access list of its own: it maps the list to the
        // file's Unix mode and reads a list back from that mode. What can be
        // seen is that no one but the owner's side got access.
        for (WELL_KNOWN_SID_TYPE broad : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid})
            for (const auto& sid : sids)
                EXPECT_NE(sid, well_known(broad)) << "a grant to everyone, users or all logged on";
        return;
    }
    EXPECT_TRUE(is_protected);
    const std::vector<std::vector<BYTE>> expected = {
        process_user(), well_known(WinBuiltinAdministratorsSid), well_known(WinLocalSystemSid)};
    EXPECT_EQ(sids, expected);
}

} // namespace

TEST(WinDumpAccess, DumpIsReadableByItsOwnerAdministratorsAndSystemOnly) {
    char exe[1024];
    ASSERT_EQ(0, plat_exe_path(exe, sizeof exe));
    const std::string path = std::string(exe, strlen(exe) - 4) + "_access_test.dmp";
    // A file already there (made with the folder's access, readable by
    // everyone) is replaced by a file with the dump's own list. One dump
    // only: a full-memory dump of this process is large and slow to write.
    remove(path.c_str());
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("old", f);
    fclose(f);
    if (plat_write_dump(path.c_str(), nullptr, nullptr) != 0) {
        const int error = plat_last_error();
        remove(path.c_str());
        if (wine_wow64_cannot_dump(error)) GTEST_SKIP() << k_wine_wow64_dump_reason;
        FAIL() << "the dump was not written: error " << error;
    }
    expect_private_dump(path);
    remove(path.c_str());
}
