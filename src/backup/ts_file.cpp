// ts_file.cpp - the schedule digest file and the file MD5.
#include "backup/ts_file.h"

#include "platform/platform.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct file_closer {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
typedef std::unique_ptr<FILE, file_closer> file_ptr;

struct md_ctx_free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
typedef std::unique_ptr<EVP_MD_CTX, md_ctx_free> md_ctx_ptr;

const char k_tag[] = "md5=";
const size_t k_tag_len = 4;

} // namespace

int file_md5(const char* path, unsigned char out[16]) {
    file_ptr f(plat_fopen_read(path, false));
    if (!f) return -1;
    md_ctx_ptr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return -1;
    unsigned char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        if (EVP_DigestUpdate(ctx.get(), buf, n) != 1) return -1;
    if (ferror(f.get())) return -1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 || len != 16) return -1;
    memcpy(out, digest, 16);
    return 0;
}

std::string ts_file_path(const char* schedule_path) {
    return std::string(schedule_path) + ".ts";
}

ts_check_result ts_file_check(const char* schedule_path) {
    file_ptr f(plat_fopen_read(ts_file_path(schedule_path).c_str(), false));
    if (!f) return TS_NONE;
    unsigned char buf[TS_READ_MAX];
    const size_t n = fread(buf, 1, sizeof buf, f.get());
    if (n < k_tag_len || memcmp(buf, k_tag, k_tag_len) != 0) return TS_NONE;
    if (n < TS_FILE_SIZE) return TS_DIFFERENT;
    unsigned char digest[16];
    if (file_md5(schedule_path, digest) != 0) return TS_DIFFERENT;
    return memcmp(buf + k_tag_len, digest, 16) == 0 ? TS_SAME : TS_DIFFERENT;
}

int ts_file_write(const char* schedule_path) {
    unsigned char record[TS_FILE_SIZE];
    memcpy(record, k_tag, k_tag_len);
    if (file_md5(schedule_path, record + k_tag_len) != 0) return -1;
    FILE* f = plat_open_private(ts_file_path(schedule_path).c_str(), PLAT_PRIVATE_TRUNCATE);
    if (!f) return -1;
    const size_t n = fwrite(record, 1, sizeof record, f);
    return (fclose(f) == 0 && n == sizeof record) ? 0 : -1;
}
