// peer_wire.cpp - the server's side of the wire for the tests' peers. See the
// header.
#include "support/peer_wire.h"
#include "support/test_rsa_key.h"

#include "platform/platform.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zlib.h>

namespace peer_wire {

const uint8_t greeting[GREETING_LEN] = {0x01, 0x30, 0x32, 0x02};

uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint64_t get_be64(const uint8_t* p) {
    return (uint64_t{get_be32(p)} << 32) | get_be32(p + 4);
}
void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void put_text8(std::vector<uint8_t>& out, const std::string& text) {
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

header read_header(const uint8_t* p) {
    return header{get_be16(p), p[2], get_be16(p + 3), p[5]};
}

std::vector<uint8_t> packet(uint8_t type, uint16_t seq, uint8_t status,
                            const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    put_be(out, payload.size(), 2);
    out.push_back(type);
    put_be(out, seq, 2);
    out.push_back(status);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

EVP_PKEY* private_key() {
    static EVP_PKEY* key = [] {
        BIO* bio = BIO_new_mem_buf(test_rsa_key_pem, -1);
        EVP_PKEY* k = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        return k;
    }();
    return key;
}

const std::string& public_pem() {
    static const std::string pem = [] {
        std::string out;
        BIO* bio = BIO_new(BIO_s_mem());
        if (bio && PEM_write_bio_PUBKEY(bio, private_key()) == 1) {
            char* data = nullptr;
            long n = BIO_get_mem_data(bio, &data);
            out.assign(data, static_cast<size_t>(n));
        }
        BIO_free(bio);
        return out;
    }();
    return pem;
}

bool recv_exact(intptr_t sock, void* buf, size_t n, const std::atomic<bool>* stop) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        if (stop && stop->load()) return false;
        int w = plat_socket_wait_readable(sock, 20);
        if (w < 0) return false;
        if (w == 0) continue;
        long r = plat_socket_recv(sock, p + done, n - done);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool send_all(intptr_t sock, const uint8_t* p, size_t n) {
    while (n > 0) {
        long r = plat_socket_send(sock, p, n);
        if (r < 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

std::vector<uint8_t> encrypt(const uint8_t key[SESSION_KEY], const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> out(plain.size() + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    int a = 0, b = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(ctx, out.data(), &a, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + a, &b);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(a + b));
    return out;
}

bool decrypt(const uint8_t key[SESSION_KEY], const uint8_t* data, size_t n,
             std::vector<uint8_t>* plain) {
    plain->assign(n + 32, 0);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    int a = 0, b = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
              EVP_DecryptUpdate(ctx, plain->data(), &a, data, static_cast<int>(n)) == 1 &&
              EVP_DecryptFinal_ex(ctx, plain->data() + a, &b) == 1;
    EVP_CIPHER_CTX_free(ctx);
    plain->resize(ok ? static_cast<size_t>(a + b) : 0);
    return ok;
}

uint32_t crc32_of(const uint8_t* p, size_t n) {
    return static_cast<uint32_t>(crc32(0L, p, static_cast<uInt>(n)));
}

bool send_frame(intptr_t sock, const uint8_t key[SESSION_KEY], const std::vector<uint8_t>& plain,
                uint32_t crc_xor, int pieces, uint32_t delay_ms) {
    const std::vector<uint8_t> ct = encrypt(key, plain);
    std::vector<uint8_t> frame;
    put_be(frame, ct.size() & 0xFFFF, 2);
    put_be(frame, crc32_of(plain.data(), plain.size()) ^ crc_xor, 4);
    frame.insert(frame.end(), ct.begin(), ct.end());
    if (pieces < 1) pieces = 1;
    size_t at = 0;
    for (int i = 0; i < pieces; i++) {
        const size_t end = i == pieces - 1 ? frame.size() : frame.size() * (i + 1) / pieces;
        if (delay_ms) plat_sleep_ms(delay_ms);
        if (!send_all(sock, frame.data() + at, end - at)) return false;
        at = end;
    }
    return true;
}

bool recv_frame(intptr_t sock, frame_in* f, const std::atomic<bool>* stop) {
    uint8_t head[FRAME_HEAD];
    if (!recv_exact(sock, head, sizeof head, stop)) return false;
    f->k = get_be16(head);
    if (f->k == 0) f->k = 65536;
    f->crc = get_be32(head + 2);
    f->cipher.resize(f->k);
    return recv_exact(sock, f->cipher.data(), f->cipher.size(), stop);
}

std::string open_frame(const uint8_t key[SESSION_KEY], const frame_in& f,
                       std::vector<uint8_t>* plain) {
    if (f.k % 16 != 0) return "ciphertext length " + std::to_string(f.k) + " is no AES length";
    if (!decrypt(key, f.cipher.data(), f.cipher.size(), plain)) return "padding does not decrypt";
    if (crc32_of(plain->data(), plain->size()) != f.crc) return "CRC-32 does not match";
    if (plain->size() < HEADER) return "plain packet shorter than its header";
    const header h = read_header(plain->data());
    if (h.len != plain->size() - HEADER)
        return "header length " + std::to_string(h.len) + " but " +
               std::to_string(plain->size() - HEADER) + " payload bytes";
    // PKCS#7 always pads: the ciphertext is the plain packet rounded up to
    // the next whole block.
    if (f.k != (plain->size() / 16 + 1) * 16) return "ciphertext length does not fit the packet";
    return std::string();
}

bool send_key(intptr_t sock, const std::string& pem) {
    std::vector<uint8_t> out;
    put_be(out, pem.size(), 2);
    out.insert(out.end(), pem.begin(), pem.end());
    return send_all(sock, out.data(), out.size());
}

bool recv_key_block(intptr_t sock, std::vector<uint8_t>* plain, const std::atomic<bool>* stop) {
    uint8_t block[KEY_BLOCK];
    plain->clear();
    if (!recv_exact(sock, block, sizeof block, stop)) return false;
    uint8_t out[512];
    size_t out_len = sizeof out;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(private_key(), nullptr);
    const bool ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
                    EVP_PKEY_decrypt(ctx, out, &out_len, block, sizeof block) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (ok) plain->assign(out, out + out_len);
    return true;
}

} // namespace peer_wire
