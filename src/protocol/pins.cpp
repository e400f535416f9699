// pins.cpp - fingerprints of server keys and the file of pinned keys.
#include "protocol/pins.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Longest pin line read whole; a longer one is no pin.
const size_t kLineMax = 1200;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string server_text(const char* host, int port) {
    return std::string(host) + ":" + std::to_string(port);
}

// Splits a pin line into its server and fingerprint; false for a comment, a
// blank or a malformed line.
bool parse_line(std::string line, std::string* server, uint8_t fp[CTFS_FINGERPRINT_SIZE]) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t'))
        line.pop_back();
    if (line.empty() || line[0] == '#') return false;
    size_t cut = line.find_last_of(" \t");
    if (cut == std::string::npos || cut == 0) return false;
    if (!ctfs_fingerprint_parse(line.c_str() + cut + 1, fp)) return false;
    size_t end = line.find_last_not_of(" \t", cut);
    *server = line.substr(0, end + 1);
    return server->find(':') != std::string::npos;
}

// Every line of the file; false (errno set) when it exists but cannot be
// read. A missing file has no lines.
bool read_lines(const char* file, std::vector<std::string>* lines) {
    lines->clear();
    owner<FILE, fclose> f(plat_fopen_read(file, true));
    if (!f) return errno == ENOENT;
    char buf[kLineMax];
    std::string line;
    while (fgets(buf, sizeof buf, f.get())) {
        line += buf;
        if (line.back() != '\n' && !feof(f.get())) continue;
        lines->push_back(line);
        line.clear();
    }
    if (!line.empty()) lines->push_back(line);
    if (ferror(f.get())) {
        errno = EIO;
        return false;
    }
    return true;
}

} // namespace

bool ctfs_key_fingerprint(const uint8_t* pem, size_t len, uint8_t out[CTFS_FINGERPRINT_SIZE]) {
    if (!pem || len == 0 || len > 0x7fffffff) return false;
    owner<BIO, BIO_free> bio(BIO_new_mem_buf(pem, static_cast<int>(len)));
    if (!bio) return false;
    owner<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) return false;
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key.get(), &der);
    if (n <= 0) return false;
    SHA256(der, static_cast<size_t>(n), out);
    OPENSSL_free(der);
    return true;
}

void ctfs_fingerprint_text(const uint8_t fp[CTFS_FINGERPRINT_SIZE],
                           char out[CTFS_FINGERPRINT_TEXT]) {
    std::string text = "SHA256:" + hex_lower(fp, CTFS_FINGERPRINT_SIZE);
    memcpy(out, text.c_str(), text.size() + 1);
}

bool ctfs_fingerprint_parse(const char* text, uint8_t out[CTFS_FINGERPRINT_SIZE]) {
    if (!text) return false;
    if (strncmp(text, "SHA256:", 7) == 0 || strncmp(text, "sha256:", 7) == 0) text += 7;
    if (strlen(text) != 2 * CTFS_FINGERPRINT_SIZE) return false;
    uint8_t fp[CTFS_FINGERPRINT_SIZE];
    for (int i = 0; i < CTFS_FINGERPRINT_SIZE; i++) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        fp[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    memcpy(out, fp, sizeof fp);
    return true;
}

bool ctfs_pin_file_for(const char* list_path, char* out, size_t size) {
    if (!list_path || !out || strlen(list_path) + 6 > size) return false;
    snprintf(out, size, "%s.keys", list_path);
    return true;
}

ctfs_pin_result ctfs_pin_check(const char* file, const char* host, int port,
                               const uint8_t fp[CTFS_FINGERPRINT_SIZE],
                               uint8_t pinned[CTFS_FINGERPRINT_SIZE]) {
    std::vector<std::string> lines;
    if (!read_lines(file, &lines)) return CTFS_PIN_UNREADABLE;
    const std::string want = server_text(host, port);
    for (const std::string& l : lines) {
        std::string server;
        uint8_t got[CTFS_FINGERPRINT_SIZE];
        if (!parse_line(l, &server, got) || server != want) continue;
        if (pinned) memcpy(pinned, got, sizeof got);
        return memcmp(got, fp, sizeof got) == 0 ? CTFS_PIN_MATCH : CTFS_PIN_MISMATCH;
    }
    return CTFS_PIN_NONE;
}

int ctfs_pin_store(const char* file, const char* host, int port,
                   const uint8_t fp[CTFS_FINGERPRINT_SIZE]) {
    std::vector<std::string> lines;
    if (!read_lines(file, &lines)) return -1;
    const std::string want = server_text(host, port);
    char text[CTFS_FINGERPRINT_TEXT];
    ctfs_fingerprint_text(fp, text);
    const std::string pin = want + " " + text + "\n";
    std::string out;
    bool placed = false;
    if (lines.empty())
        out = "# Server keys this installation trusts (tavni-ctl trust-server changes them).\n";
    for (const std::string& l : lines) {
        std::string server;
        uint8_t got[CTFS_FINGERPRINT_SIZE];
        if (parse_line(l, &server, got) && server == want) {
            if (!placed) out += pin;
            placed = true;
            continue;
        }
        out += l;
        if (out.back() != '\n') out += '\n';
    }
    if (!placed) out += pin;
    return plat_replace_private_file(file, out.data(), out.size());
}

int ctfs_pin_each(const char* file, ctfs_pin_fn fn, void* ctx) {
    std::vector<std::string> lines;
    if (!read_lines(file, &lines)) return -1;
    for (const std::string& l : lines) {
        std::string server;
        uint8_t fp[CTFS_FINGERPRINT_SIZE];
        if (parse_line(l, &server, fp)) fn(ctx, server.c_str(), fp);
    }
    return 0;
}
