// ctl_key.cpp - the installation folder's machine key for tavni-ctl.
#include "tools/ctl/ctl_key.h"

#include "backup/schedule/schedule.h"
#include "common/secret_file.h"
#include "common/text.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

key_holder::~key_holder() {
    OPENSSL_cleanse(key, sizeof key);
}

int ctl_fail(const std::string& message) {
    fprintf(stderr, "tavni-ctl: %s\n", message.c_str());
    return 1;
}

int ctl_root_key(const std::string& root, bool create, key_holder* k) {
    std::error_code ec;
    const std::filesystem::path etc = std::filesystem::path(root) / "etc";
    const std::string path = (etc / "tavni.ak").string();
    if (create)
        std::filesystem::create_directories(etc, ec);
    else if (!std::filesystem::is_regular_file(path, ec))
        return ctl_fail("no machine key file '" + path + "'");
    if (machine_key_from_file(path.c_str(), k->key) != 0)
        return ctl_fail("cannot load the machine key '" + path + "': " + error_text(errno));
    return 0;
}

int ctl_acckey_file(const std::string& path, std::string* hex) {
    std::string err;
    if (!secret_file_read(path, ACCOUNT_KEY_HEX, hex, &err)) return ctl_fail(err);
    return 0;
}
