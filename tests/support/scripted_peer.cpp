// scripted_peer.cpp - the test peer: real key exchange and framing, answers
// from a script. See the header for the rules.
#include "support/scripted_peer.h"
#include "support/peer_wire.h"

#include "platform/platform.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstring>

namespace {

using peer_wire::put_text8;

void put_n(std::vector<uint8_t>& v, uint64_t value, int bytes) {
    peer_wire::put_be(v, value, bytes);
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
peer_step peer_step::late(uint8_t status, std::vector<uint8_t> payload) {
    peer_step s = answer(status, std::move(payload));
    s.kind = LATE;
    return s;
}

scripted_peer::scripted_peer() {
    peer_wire::private_key();
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
    return peer_wire::recv_exact(sock, buf, n, &stop_);
}

bool scripted_peer::send_frame(intptr_t sock, const std::vector<uint8_t>& plain, uint32_t crc_xor,
                               int pieces, uint32_t delay_ms) {
    return peer_wire::send_frame(sock, key_, plain, crc_xor, pieces, delay_ms);
}

static bool send_bytes(intptr_t sock, const uint8_t* p, size_t n) {
    return peer_wire::send_all(sock, p, n);
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
    std::string pem = peer_wire::public_pem();
    size_t key_len = gr.key_length < 0 ? pem.size() : static_cast<size_t>(gr.key_length);
    pem.resize(key_len, '\n');
    if (gr.key_byte_delay_ms > 0) {
        // A trickling server: the key's length and text a byte at a time.
        const uint8_t len_bytes[2] = {static_cast<uint8_t>(key_len >> 8),
                                      static_cast<uint8_t>(key_len & 0xff)};
        std::string all(reinterpret_cast<const char*>(len_bytes), 2);
        all += pem;
        for (char c : all) {
            for (uint32_t slept = 0; slept < gr.key_byte_delay_ms && !stop_; slept += 10)
                plat_sleep_ms(10);
            if (stop_ || !send_bytes(sock, reinterpret_cast<const uint8_t*>(&c), 1)) return;
        }
    } else if (!peer_wire::send_key(sock, pem)) {
        return;
    }
    if (key_len >= 512) return; // the client gives up on this server

    std::vector<uint8_t> plain;
    if (!peer_wire::recv_key_block(sock, &plain, &stop_)) return;
    if (plain.size() != 40 || plain[2] != 0 || plain[7] != 32) return;
    memcpy(key_, plain.data() + 8, 32);

    uint8_t s_bytes[32];
    RAND_bytes(s_bytes, sizeof s_bytes);
    std::vector<uint8_t> body;
    for (int i = 0; i < gr.answer_length; i++)
        body.push_back(s_bytes[i % 32]);
    std::vector<uint8_t> answer =
        peer_wire::packet(gr.answer_type, gr.answer_seq, gr.answer_status, body);
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

    std::vector<uint8_t> held; // a LATE answer of this connection, framed when due
    for (;;) {
        peer_wire::frame_in in;
        if (!peer_wire::recv_frame(sock, &in, &stop_)) return;
        std::vector<uint8_t> pkt;
        if (!peer_wire::decrypt(key_, in.cipher.data(), in.cipher.size(), &pkt) || pkt.size() < 6)
            return;
        peer_wire::header rh = peer_wire::read_header(pkt.data());
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
        if (!held.empty()) {
            if (!send_frame(sock, held, 0, 1, 0)) return;
            held.clear();
        }
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
        case peer_step::ANSWER:
        case peer_step::LATE: {
            std::vector<uint8_t> out =
                peer_wire::packet(static_cast<uint8_t>(step.type < 0 ? req.type + 128 : step.type),
                                  static_cast<uint16_t>(step.seq < 0 ? req.seq : step.seq),
                                  step.status, step.payload);
            if (step.kind == peer_step::LATE) {
                held = out;
                continue;
            }
            if (!send_frame(sock, out, step.crc_xor, step.pieces, step.piece_delay_ms)) return;
            break;
        }
        }
        if (step.close_after) return;
    }
}
