// scripted_peer.cpp - the test peer: real key exchange and framing, answers
// from a script. See the header for the rules.
#include "support/scripted_peer.h"
#include "support/test_rsa_key.h"

#include "platform/platform.h"
#include "protocol/frame.h"
#include "protocol/wire.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstring>

namespace {

// The tests' fixed key, read once per process.
EVP_PKEY* peer_key() {
    static EVP_PKEY* key = [] {
        BIO* bio = BIO_new_mem_buf(test_rsa_key_pem, -1);
        EVP_PKEY* k = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        return k;
    }();
    return key;
}

std::string peer_pem() {
    static std::string pem = [] {
        std::string out;
        BIO* bio = BIO_new(BIO_s_mem());
        if (bio && PEM_write_bio_PUBKEY(bio, peer_key()) == 1) {
            char* data = nullptr;
            long n = BIO_get_mem_data(bio, &data);
            out.assign(data, static_cast<size_t>(n));
        }
        BIO_free(bio);
        return out;
    }();
    return pem;
}

void put_text8(std::vector<uint8_t>& v, const std::string& s) {
    v.push_back(static_cast<uint8_t>(s.size()));
    v.insert(v.end(), s.begin(), s.end());
}
void put_n(std::vector<uint8_t>& v, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        v.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

std::vector<uint8_t> peer_auth_answer(const peer_auth_fields& f) {
    std::vector<uint8_t> v;
    v.push_back(f.repeat);
    put_text8(v, "unused");
    put_n(v, 0, 2);
    put_text8(v, "");
    put_n(v, 0, 2);
    put_n(v, f.account_number, 4);
    put_text8(v, f.account_name);
    v.push_back(1); // account_flag
    put_text8(v, f.account_text);
    put_n(v, f.user_number, 4);
    put_text8(v, f.user_name);
    put_text8(v, f.user_text);
    v.push_back(2);      // user_flag
    put_n(v, 0x0102, 2); // user_short
    put_text8(v, f.user_text2);
    put_text8(v, f.user_text3);
    put_n(v, 11, 8);
    put_n(v, 12, 8);
    v.push_back(3); // user_flag2
    v.push_back(f.option);
    if (f.with_stamp) put_n(v, f.fci_stamp, 4);
    return v;
}

peer_step peer_step::answer(uint8_t status, std::vector<uint8_t> payload) {
    peer_step s;
    s.status = status;
    s.payload = std::move(payload);
    return s;
}
peer_step peer_step::plain(std::vector<uint8_t> packet) {
    peer_step s;
    s.kind = PLAIN;
    s.bytes = std::move(packet);
    return s;
}
peer_step peer_step::raw(std::vector<uint8_t> bytes) {
    peer_step s;
    s.kind = RAW;
    s.bytes = std::move(bytes);
    return s;
}
peer_step peer_step::close() {
    peer_step s;
    s.kind = CLOSE;
    return s;
}
peer_step peer_step::stall() {
    peer_step s;
    s.kind = STALL;
    return s;
}

scripted_peer::scripted_peer() {
    peer_key();
    listener_ = plat_tcp_listen("127.0.0.1", 0, &port_);
    thread_ = std::thread([this] { run(); });
}

scripted_peer::~scripted_peer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    plat_socket_close(listener_);
}

std::string scripted_peer::hosts_line() const {
    return "127.0.0.1:" + std::to_string(port_) + "\n";
}

void scripted_peer::push(const peer_step& step) {
    std::lock_guard<std::mutex> g(mu_);
    steps_.push_back(step);
}
void scripted_peer::push_greeting(const peer_greeting& gr) {
    std::lock_guard<std::mutex> g(mu_);
    greetings_.push_back(gr);
}
void scripted_peer::set_auto_auth(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    auto_auth_ = on;
}
void scripted_peer::set_auth_fields(const peer_auth_fields& f) {
    std::lock_guard<std::mutex> g(mu_);
    auth_ = f;
}
void scripted_peer::grant_locks(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    grant_locks_ = on;
}

void scripted_peer::drop_after_close(int nth) {
    std::lock_guard<std::mutex> g(mu_);
    drop_after_close_ = nth;
}

void scripted_peer::hold_lock(bool held) {
    std::lock_guard<std::mutex> g(mu_);
    lock_held_ = held;
}
std::vector<peer_request> scripted_peer::requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}
int scripted_peer::connections() const {
    std::lock_guard<std::mutex> g(mu_);
    return connections_;
}
int scripted_peer::accepted() const {
    std::lock_guard<std::mutex> g(mu_);
    return accepted_;
}
bool scripted_peer::wait_requests(size_t n, uint32_t ms) const {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return requests_.size() >= n; });
}

void scripted_peer::run() {
    while (!stop_) {
        if (listener_ < 0) return;
        if (plat_socket_wait_readable(listener_, 20) != 1) continue;
        intptr_t sock = plat_tcp_accept(listener_);
        if (sock < 0) continue;
        {
            std::lock_guard<std::mutex> g(mu_);
            accepted_++;
        }
        serve(sock);
        plat_socket_close(sock);
    }
}

bool scripted_peer::recv_exact(intptr_t sock, void* buf, size_t n) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        if (stop_) return false;
        int w = plat_socket_wait_readable(sock, 20);
        if (w < 0) return false;
        if (w == 0) continue;
        long r = plat_socket_recv(sock, p + done, n - done);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::vector<uint8_t> scripted_peer::encrypt(const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> out(plain.size() + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    uint8_t iv[16] = {};
    int a = 0, b = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key_, iv);
    EVP_EncryptUpdate(ctx, out.data(), &a, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + a, &b);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(a + b));
    return out;
}

bool scripted_peer::decrypt(const uint8_t* data, size_t n, std::vector<uint8_t>* plain) {
    plain->assign(n + 32, 0);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    uint8_t iv[16] = {};
    int a = 0, b = 0;
    EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key_, iv);
    bool ok = EVP_DecryptUpdate(ctx, plain->data(), &a, data, static_cast<int>(n)) == 1 &&
              EVP_DecryptFinal_ex(ctx, plain->data() + a, &b) == 1;
    EVP_CIPHER_CTX_free(ctx);
    plain->resize(ok ? static_cast<size_t>(a + b) : 0);
    return ok;
}

bool scripted_peer::send_frame(intptr_t sock, const std::vector<uint8_t>& plain, uint32_t crc_xor,
                               int pieces, uint32_t delay_ms) {
    std::vector<uint8_t> ct = encrypt(plain);
    std::vector<uint8_t> frame(6);
    put_be16(frame.data(), static_cast<uint16_t>(ct.size()));
    put_be32(frame.data() + 2, ctfs_crc32(plain.data(), plain.size()) ^ crc_xor);
    frame.insert(frame.end(), ct.begin(), ct.end());
    if (pieces < 1) pieces = 1;
    size_t at = 0;
    for (int i = 0; i < pieces; i++) {
        size_t end = i == pieces - 1 ? frame.size() : frame.size() * (i + 1) / pieces;
        if (delay_ms) plat_sleep_ms(delay_ms);
        while (at < end) {
            long r = plat_socket_send(sock, frame.data() + at, end - at);
            if (r < 0) return false;
            at += static_cast<size_t>(r);
        }
    }
    return true;
}

static bool send_bytes(intptr_t sock, const uint8_t* p, size_t n) {
    while (n > 0) {
        long r = plat_socket_send(sock, p, n);
        if (r < 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void scripted_peer::serve(intptr_t sock) {
    peer_greeting gr;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!greetings_.empty()) {
            gr = greetings_.front();
            greetings_.erase(greetings_.begin());
        }
    }
    if (gr.close_at_once) return;
    uint8_t hello[4];
    if (!recv_exact(sock, hello, 4)) return;
    std::string pem = peer_pem();
    size_t key_len = gr.key_length < 0 ? pem.size() : static_cast<size_t>(gr.key_length);
    pem.resize(key_len, '\n');
    uint8_t len_bytes[2];
    put_be16(len_bytes, static_cast<uint16_t>(key_len));
    if (gr.key_byte_delay_ms > 0) {
        std::string all(reinterpret_cast<const char*>(len_bytes), 2);
        all += pem;
        for (char c : all) {
            for (uint32_t slept = 0; slept < gr.key_byte_delay_ms && !stop_; slept += 10)
                plat_sleep_ms(10);
            if (stop_ || !send_bytes(sock, reinterpret_cast<const uint8_t*>(&c), 1)) return;
        }
    } else if (!send_bytes(sock, len_bytes, 2) ||
               !send_bytes(sock, reinterpret_cast<const uint8_t*>(pem.data()), pem.size())) {
        return;
    }
    if (key_len >= 512) return; // the client gives up on this server

    uint8_t block[256];
    if (!recv_exact(sock, block, sizeof block)) return;
    uint8_t plain[512];
    size_t plain_len = sizeof plain;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(peer_key(), nullptr);
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_decrypt(ctx, plain, &plain_len, block, sizeof block) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok || plain_len != 40 || plain[2] != 0 || plain[7] != 32) return;
    memcpy(key_, plain + 8, 32);

    uint8_t s_bytes[32];
    RAND_bytes(s_bytes, sizeof s_bytes);
    std::vector<uint8_t> answer(6);
    ctfs_header h{static_cast<uint16_t>(gr.answer_length), gr.answer_type, gr.answer_seq,
                  gr.answer_status};
    ctfs_header_write(answer.data(), h);
    for (int i = 0; i < gr.answer_length; i++)
        answer.push_back(s_bytes[i % 32]);
    if (!send_frame(sock, answer, 0, 1, 0)) return;
    if (gr.answer_length != 32 || gr.answer_status != 0 || gr.answer_seq != 0 ||
        gr.answer_type != 128)
        return;
    for (int i = 0; i < 32; i++)
        key_[i] ^= s_bytes[i];
    int connection;
    {
        std::lock_guard<std::mutex> g(mu_);
        connection = ++connections_;
    }

    for (;;) {
        uint8_t head[6];
        if (!recv_exact(sock, head, 6)) return;
        uint32_t k = get_be16(head);
        std::vector<uint8_t> ct(k == 0 ? 65536 : k);
        if (!recv_exact(sock, ct.data(), ct.size())) return;
        std::vector<uint8_t> pkt;
        if (!decrypt(ct.data(), ct.size(), &pkt) || pkt.size() < 6) return;
        ctfs_header rh = ctfs_header_read(pkt.data());
        peer_request req;
        req.type = rh.type;
        req.seq = rh.seq;
        req.status = rh.status;
        req.payload.assign(pkt.begin() + 6, pkt.end());
        req.connection = connection;

        peer_step step;
        bool answer_needed = true;
        {
            std::lock_guard<std::mutex> g(mu_);
            requests_.push_back(req);
            cv_.notify_all();
            if (req.type == 13 && drop_after_close_ > 0 && --drop_after_close_ == 0) {
                return; // gone with the close unread
            } else if (req.type == 13 ||
                       (req.type == 12 && req.payload.size() > 1 && (req.payload[1] & 8))) {
                answer_needed = false;
            } else if (req.type == 1 && auto_auth_) {
                step = peer_step::answer(0, peer_auth_answer(auth_));
            } else if (req.type == 21 && lock_held_) {
                step = peer_step::answer(4);
            } else if (req.type == 21 && grant_locks_) {
                step = peer_step::answer(0);
            } else if (!steps_.empty()) {
                step = steps_.front();
                steps_.erase(steps_.begin());
            }
        }
        if (!answer_needed) continue;
        switch (step.kind) {
        case peer_step::CLOSE:
            return;
        case peer_step::STALL:
            continue;
        case peer_step::RAW:
            if (!send_bytes(sock, step.bytes.data(), step.bytes.size())) return;
            break;
        case peer_step::PLAIN:
            if (!send_frame(sock, step.bytes, step.crc_xor, step.pieces, step.piece_delay_ms))
                return;
            break;
        case peer_step::ANSWER: {
            std::vector<uint8_t> out(6);
            ctfs_header ah{static_cast<uint16_t>(step.payload.size()),
                           static_cast<uint8_t>(step.type < 0 ? req.type + 128 : step.type),
                           static_cast<uint16_t>(step.seq < 0 ? req.seq : step.seq), step.status};
            ctfs_header_write(out.data(), ah);
            out.insert(out.end(), step.payload.begin(), step.payload.end());
            if (!send_frame(sock, out, step.crc_xor, step.pieces, step.piece_delay_ms)) return;
            break;
        }
        }
        if (step.close_after) return;
    }
}
