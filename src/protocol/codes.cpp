// codes.cpp - the printable names of message types, result codes, management
// sub-codes, authentication modes and account types. Every lookup is total:
// a value outside its table gives the table's fallback text.
#include "protocol/codes.h"

#include <cstddef>

namespace {

struct named {
    int value;
    const char* name;
};

struct described {
    int value;
    const char* name;
    const char* text;
};

const named k_msg_names[] = {
    {0, "TFS_SESSION_HANDSHAKE"},
    {1, "TFS_SESSION_AUTH"},
    {2, "TFS_SESSION_CLOSE"},
    {3, "TFS_STAT"},
    {4, "TFS_MOVE"},
    {5, "TFS_COPY"},
    {6, "TFS_DELETE"},
    {7, "TFS_MKDIR"},
    {8, "TFS_FIND_FILES"},
    {10, "TFS_EMAIL"},
    {11, "TFS_FILE_READ"},
    {12, "TFS_FILE_WRITE"},
    {13, "TFS_FILE_CLOSE"},
    {16, "TFS_FIND_USERS"},
    {17, "TFS_FILE_WOPEN"},
    {18, "TFS_FILE_ROPEN"},
    {20, "TFS_MGNT"},
    {21, "TFS_USER_LOCK"},
    {50, "TFS_SESSION_OPEN"},
    {51, "TFS_SCHED_SYNC"},
    {52, "TFS_SESSION_UPDATE"},
    {64, "TFS_SYNC_LOGIN"},
    {65, "TFS_SYNC_CONTROL"},
    {128, "TFS_SESSION_HANDSHAKE_RESPONSE"},
    {129, "TFS_SESSION_AUTH_RESPONSE"},
    {131, "TFS_STAT_RESPONSE"},
    {132, "TFS_MOVE_RESPONSE"},
    {133, "TFS_COPY_RESPONSE"},
    {134, "TFS_DELETE_RESPONSE"},
    {135, "TFS_MKDIR_RESPONSE"},
    {136, "TFS_FIND_FILES_RESPONSE"},
    {138, "TFS_EMAIL_RESPONSE"},
    {139, "TFS_FILE_READ_RESPONSE"},
    {140, "TFS_FILE_WRITE_RESPONSE"},
    {141, "TFS_FILE_CLOSE_RESPONSE"},
    {144, "TFS_FIND_USERS_RESPONSE"},
    {145, "TFS_FILE_WOPEN_RESPONSE"},
    {146, "TFS_FILE_ROPEN_RESPONSE"},
    {148, "TFS_MGNT_RESPONSE"},
    {149, "TFS_USER_LOCK_RESPONSE"},
    {192, "TFS_SYNC_LOGIN_RESPONSE"},
    {193, "TFS_SYNC_CONTROL_RESPONSE"},
};

const described k_results[] = {
    {0, "ERR_NONE", "No errors"},
    {1, "ERR_BADPATH", "No such file or directory"},
    {2, "ERR_NOTDIR", "Not a Directory"},
    {3, "ERR_NOTFILE", "Not a File"},
    {4, "ERR_ACCESS", "Access Denied"},
    {5, "ERR_IO", "IO communication error"},
    {6, "ERR_EXISTS", "File exists"},
    {7, "ERR_FDMAX", "To many open files"},
    {9, "ERR_SEQUENCE", "Protocol Mismatch"},
    {10, "ERR_DATAMAX", "TFS packet max data length exceeded"},
    {11, "ERR_TIMEOUT", "TFS Session has timed out"},
    {12, "ERR_FSACCESS", "File system access error"},
    {13, "ERR_BADKEY", "Invalid key"},
    {14, "ERR_NOTEMPTY", "Directory not Empty"},
    {15, "ERR_BUSY", "File in use"},
    {16, "ERR_EOF", "End of file has been reached"},
    {17, "ERR_UP2DATE", "File is up to date"},
    {18, "ERR_INVARG", "Invalid argument"},
    {19, "ERR_FINDMAX", "To many open finds"},
    {20, "ERR_NOCSUM", "Missing checksum for file block"},
    {21, "ERR_AUTH_FAILURE", "Authentication error"},
    {23, "ERR_ACCOUNT_STATUS_INACTIVE", "Please contact support for assistance with your account"},
    {24, "ERR_USER_LOCKED", "User is locked"},
    {30, "ERR_SERVER", "Internal error with backup server"},
    {235, "ERR_BAD_PROTOCOL_VERSION", "Invalid Protocol Version"},
    {254, "ERR_SCKREAD", "Error during socket read"},
    {255, "ERR_SCKWRITE", "Error during socket write"},
};

const char* const k_mgnt_names[] = {
    "MGNT_U_USERNAME",
    "MGNT_U_PASSWORD",
    "MGNT_U_FIRSTNAME",
    "MGNT_U_LASTNAME",
    "MGNT_U_EMAIL",
    "MGNT_U_PHONE",
    "MGNT_U_FAX",
    "MGNT_U_MACHINE_TOKEN_CLEAR",
    "MGNT_U_MACHINE_TOKEN_ADD",
    "MGNT_U_HISTORY_SLOTS",
    "MGNT_A_USER_CREATE",
    "MGNT_A_USER_DELETE",
    "MGNT_A_ACC_BILLING_GET",
    "MGNT_A_ACC_BILLING_SET",
    "MGNT_A_ACC_IPLOCK_CREATE",
    "MGNT_A_ACC_IPLOCK_DELETE",
    "MGNT_A_ACC_IPLOCK_FIND",
    "MGNT_A_ACC_IPLOCK_RENAME",
    "MGNT_A_ACC_IPLOCK_GET",
    "MGNT_A_ACC_IPLOCK_SET",
    "MGNT_A_USER_IPLOCK_GET",
    "MGNT_A_USER_IPLOCK_SET",
    "MGNT_A_ACC_CREATE",
    "MGNT_A_ACC_DELETE",
    "MGNT_A_USER_ACCESSIBLE_LIST_SET",
};

const named k_auth_modes[] = {
    {0, "AUTH_MODE_USER"},
    {1, "AUTH_MODE_AGENT"},
    {3, "AUTH_MODE_ENCRYPTION_TOKEN"},
    {4, "AUTH_MODE_WEB"},
    {5, "AUTH_MODE_EXCH_AGENT"},
    {6, "AUTH_MODE_EXCH_USER"},
    {7, "AUTH_MODE_EXCH_UPDATESTATUS"},
};

const char* const k_acc_types[] = {"ACC_TYPE_REGULAR", "ACC_TYPE_HOUSE", "ACC_TYPE_DEVELOPMENT"};

template <size_t N>
const char* find_name(const named (&table)[N], int value, const char* fallback) {
    for (const named& n : table)
        if (n.value == value) return n.name;
    return fallback;
}

const described* find_result(int code) {
    int v = code & 0xFF;
    for (const described& d : k_results)
        if (d.value == v) return &d;
    return nullptr;
}

} // namespace

const char* ctfs_msg_name(int type) {
    return find_name(k_msg_names, type & 0xFF, "TFS_UNKNOWN");
}

const char* ctfs_err_name(int code) {
    const described* d = find_result(code);
    return d ? d->name : "ERR_UNKNOWN";
}

const char* ctfs_err_text(int code) {
    const described* d = find_result(code);
    return d ? d->text : "ERR_DESCRIPTION_UNKNOWN";
}

const char* ctfs_mgnt_name(int code) {
    const int n = static_cast<int>(sizeof k_mgnt_names / sizeof k_mgnt_names[0]);
    return code >= 0 && code < n ? k_mgnt_names[code] : "MGNT_UNKNOWN";
}

const char* ctfs_auth_mode_name(int mode) {
    return find_name(k_auth_modes, mode, "AUTH_MODE_UNKNOWN");
}

const char* ctfs_acc_type_name(int type) {
    return type >= 0 && type < 3 ? k_acc_types[type] : "ACC_TYPE_UNKNOWN";
}
