// machine_key.cpp - the machine key file and the key built from it.
#include "keys/machine_key.h"

#include "platform/platform.h"

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

const char* const machine_key_file_name = "etc/tavni.ak";

// Chosen once; the desktop side must use the same table. Each piece lies
// wholly inside the 4096 bytes; the one at 4092 makes a short file fail.
const uint32_t machine_key_offsets[MACHINE_KEY_PIECES] = {1876, 412,  3340, 92,
                                                          2648, 1204, 4092, 2960};

static_assert(MACHINE_KEY_PIECES * 4 == MACHINE_KEY_SIZE, "eight 4-byte pieces make the key");

namespace {

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool g_key_built = false;
unsigned char g_key[MACHINE_KEY_SIZE];

// Creates a new key file with 4096 random bytes. 0, or -1 when it cannot be
// created (also when another process made it meanwhile: the caller simply
// opens the file again) or not written completely (then it is removed).
int create_key_file(const char* path) {
    file_ptr f(plat_open_private(path, PLAT_PRIVATE_CREATE_NEW));
    if (!f) return -1;
    unsigned char bytes[MACHINE_KEY_FILE_SIZE];
    bool ok = RAND_bytes(bytes, sizeof bytes) == 1 &&
              fwrite(bytes, 1, sizeof bytes, f.get()) == sizeof bytes;
    OPENSSL_cleanse(bytes, sizeof bytes);
    if (fclose(f.release()) != 0) ok = false;
    if (!ok) {
        // A short key file would refuse every later job: better none at all.
        remove(path);
        return -1;
    }
    return 0;
}

} // namespace

int machine_key_from_file(const char* path, unsigned char out[MACHINE_KEY_SIZE]) {
    if (!path || !out) {
        errno = EINVAL;
        return -1;
    }
    file_ptr f(plat_fopen_read(path, false));
    if (!f) {
        if (errno != ENOENT) return -1;
        create_key_file(path);
        f.reset(plat_fopen_read(path, false));
        if (!f) return -1;
    }
    unsigned char key[MACHINE_KEY_SIZE];
    for (int i = 0; i < MACHINE_KEY_PIECES; i++) {
        if (fseek(f.get(), static_cast<long>(machine_key_offsets[i]), SEEK_SET) != 0 ||
            fread(key + 4 * i, 1, 4, f.get()) != 4) {
            OPENSSL_cleanse(key, sizeof key);
            errno = EIO;
            return -1;
        }
    }
    memcpy(out, key, sizeof key);
    OPENSSL_cleanse(key, sizeof key);
    return 0;
}

int load_machine_key(unsigned char out[MACHINE_KEY_SIZE]) {
    if (!g_key_built) {
        if (machine_key_from_file(machine_key_file_name, g_key) != 0) return -1;
        g_key_built = true;
    }
    memcpy(out, g_key, MACHINE_KEY_SIZE);
    return 0;
}

void machine_key_forget() {
    OPENSSL_cleanse(g_key, sizeof g_key);
    g_key_built = false;
}
