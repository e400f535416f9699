// codes.h - the vocabulary of the protocol: message types, result codes and
// three small catalogues, with total lookups that never fail: each returns a
// static text, never null, and a fixed "..._UNKNOWN" text for a value it does
// not know.
#pragma once

#include <cstdint>

typedef uint8_t tfs_msg_type;
typedef uint8_t tfs_result;

enum : uint8_t {
    TFS_SESSION_HANDSHAKE = 0,
    TFS_SESSION_AUTH = 1,
    TFS_SESSION_CLOSE = 2,
    TFS_STAT = 3,
    TFS_MOVE = 4,
    TFS_COPY = 5,
    TFS_DELETE = 6,
    TFS_MKDIR = 7,
    TFS_FIND_FILES = 8,
    TFS_EMAIL = 10,
    TFS_FILE_READ = 11,
    TFS_FILE_WRITE = 12,
    TFS_FILE_CLOSE = 13,
    TFS_FIND_USERS = 16,
    TFS_FILE_WOPEN = 17,
    TFS_FILE_ROPEN = 18,
    TFS_MGNT = 20,
    TFS_USER_LOCK = 21,
    TFS_SESSION_OPEN = 50,
    TFS_SCHED_SYNC = 51,
    TFS_SESSION_UPDATE = 52,
    TFS_SYNC_LOGIN = 64,
    TFS_SYNC_CONTROL = 65,
    TFS_RESPONSE = 128, // added to a request's type in its response
};

enum : uint8_t {
    ERR_NONE = 0,
    ERR_BADPATH = 1,
    ERR_NOTDIR = 2,
    ERR_NOTFILE = 3,
    ERR_ACCESS = 4,
    ERR_IO = 5,
    ERR_EXISTS = 6,
    ERR_FDMAX = 7,
    ERR_SEQUENCE = 9,
    ERR_DATAMAX = 10,
    ERR_TIMEOUT = 11,
    ERR_FSACCESS = 12,
    ERR_BADKEY = 13,
    ERR_NOTEMPTY = 14,
    ERR_BUSY = 15,
    ERR_EOF = 16,
    ERR_UP2DATE = 17,
    ERR_INVARG = 18,
    ERR_FINDMAX = 19,
    ERR_NOCSUM = 20,
    ERR_AUTH_FAILURE = 21,
    ERR_ACCOUNT_STATUS_INACTIVE = 23,
    ERR_USER_LOCKED = 24,
    ERR_SERVER = 30,
    ERR_BAD_PROTOCOL_VERSION = 235,
    ERR_SCKREAD = 254,
    ERR_SCKWRITE = 255,
};

enum {
    AUTH_MODE_NONE = -1,
    AUTH_MODE_USER = 0,
    AUTH_MODE_AGENT = 1,
    AUTH_MODE_ENCRYPTION_TOKEN = 3,
    AUTH_MODE_WEB = 4
};

const char* ctfs_msg_name(int type);
const char* ctfs_err_name(int code);
const char* ctfs_err_text(int code);
const char* ctfs_mgnt_name(int code);
const char* ctfs_auth_mode_name(int mode);
const char* ctfs_acc_type_name(int type);
