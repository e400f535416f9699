// scripted_peer.h - a protocol peer for tests: it listens on 127.0.0.1, runs
// the real greeting and RSA key exchange (with the tests' 2048-bit key) and
// the real encrypted framing (peer_wire.h), and answers each request from a
// script.
//
// Usage:
//   scripted_peer peer;                       // listening, thread running
//   write "127.0.0.1:<peer.port()>" into a hosts file for the session
//   peer.push(peer_step::answer(0, bytes));   // answer of the next request
//   peer.push(peer_step::close());            // ... or drop the connection
//   ... run client code ...
//   peer.wait_requests(3);                    // all three seen
//   auto reqs = peer.requests();              // what the client sent
//
// Rules the peer follows for every received request:
//  - "TFS_FILE_CLOSE" and file writes with bit 3 of the write type get no
//    answer and consume no step (as the real server); drop_after_close can
//    make a close end the connection.
//  - With auto_auth on (the default) a "TFS_SESSION_AUTH" request gets
//    peer_auth_answer() with the configured FCI stamp and consumes no step.
//  - With the lock held (hold_lock(true)) a "TFS_USER_LOCK" request gets
//    status 4 and consumes no step; with grant_locks(true) it gets status 0
//    and consumes no step.
//  - Any other request consumes the next step; with no step left it gets an
//    answer with status 0 and no payload.
// Each new connection consumes the next greeting script (push_greeting); with
// none left, the greeting is the normal one. All methods are thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct peer_request {
    uint8_t type;
    uint16_t seq;
    uint8_t status;
    std::vector<uint8_t> payload;
    int connection; // 1 for the first keyed connection, 2 for the next, ...
};

struct peer_step {
    enum kind_t {
        ANSWER, // a framed packet: type (request + 128 by default), seq (echoed by default)
        PLAIN,  // a frame over the given plain packet bytes (header included, any length)
        RAW,    // bytes sent exactly as given, no framing
        CLOSE,  // close the connection without answering
        STALL,  // send nothing; keep the connection
        LATE,   // hold the answer back and send it, on the same connection, just
                // before the answer of the next request there (a slow server)
    } kind = ANSWER;
    uint8_t status = 0;
    std::vector<uint8_t> payload;
    int type = -1;               // -1: the request's type + 128
    int seq = -1;                // -1: the request's sequence
    uint32_t crc_xor = 0;        // flips bits of the frame's CRC
    std::vector<uint8_t> bytes;  // PLAIN: the plain packet; RAW: the bytes
    int pieces = 1;              // the frame goes out in this many parts...
    uint32_t piece_delay_ms = 0; // ...each after this pause
    bool close_after = false;    // close the connection after sending

    static peer_step answer(uint8_t status, std::vector<uint8_t> payload = {});
    static peer_step plain(std::vector<uint8_t> packet);
    static peer_step raw(std::vector<uint8_t> bytes);
    static peer_step close();
    static peer_step stall();
    static peer_step late(uint8_t status, std::vector<uint8_t> payload = {});
};

// Greeting of one connection.
struct peer_greeting {
    bool close_at_once = false; // accept and close before reading the greeting
    // The key announcement (length and key) goes one byte at a time, each
    // after this pause (0: at once): a peer that trickles.
    uint32_t key_byte_delay_ms = 0;
    int key_length = -1;        // sent length; -1: the PEM's own. The PEM is padded
                                // with line feeds (or cut) to this length.
    int answer_length = 32;     // payload length of the handshake answer
    uint8_t answer_status = 0;
    uint16_t answer_seq = 0;
    uint8_t answer_type = 128;
};

// Fields of a log-in answer (status 0) as the peer sends it.
struct peer_auth_fields {
    uint8_t repeat = 0;
    uint32_t account_number = 7;
    std::string account_name = "Test Account";
    std::string account_text = "";
    uint32_t user_number = 42;
    std::string user_name = "tester";
    std::string user_text = "";
    std::string user_text2 = "";
    std::string user_text3 = "";
    uint8_t option = 1;
    bool with_stamp = true;
    uint32_t fci_stamp = 0;
};
std::vector<uint8_t> peer_auth_answer(const peer_auth_fields& f);

class scripted_peer {
  public:
    scripted_peer();
    ~scripted_peer();
    scripted_peer(const scripted_peer&) = delete;
    scripted_peer& operator=(const scripted_peer&) = delete;

    uint16_t port() const { return port_; }
    // "127.0.0.1:<port>\n", a line for a server-list file.
    std::string hosts_line() const;

    void push(const peer_step& step);
    void push_greeting(const peer_greeting& g);
    void set_auto_auth(bool on);
    void set_auth_fields(const peer_auth_fields& f);
    void hold_lock(bool held);
    // Drops the connection right after reading the nth file close from now
    // (counted over all connections), before anything else: a server that
    // went away with the close unread.
    void drop_after_close(int nth);
    // Answers every "TFS_USER_LOCK" with status 0 without consuming a step,
    // so that a script need not know whether a reconnection went through
    // the lock recovery.
    void grant_locks(bool on);

    std::vector<peer_request> requests() const;
    // Number of key exchanges completed.
    int connections() const;
    // Number of TCP connections accepted (greeting run or not).
    int accepted() const;
    // Waits (up to ms) until at least n requests were received.
    bool wait_requests(size_t n, uint32_t ms = 5000) const;

  private:
    void run();
    void serve(intptr_t sock);
    bool recv_exact(intptr_t sock, void* buf, size_t n);
    bool send_frame(intptr_t sock, const std::vector<uint8_t>& plain, uint32_t crc_xor, int pieces,
                    uint32_t delay_ms);

    intptr_t listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<peer_step> steps_;
    std::vector<peer_greeting> greetings_;
    std::vector<peer_request> requests_;
    bool auto_auth_ = true;
    bool lock_held_ = false;
    int drop_after_close_ = 0; // closes still to read before the drop; 0: none
    bool grant_locks_ = false;
    peer_auth_fields auth_;
    int connections_ = 0;
    int accepted_ = 0;
    uint8_t key_[32] = {};
};
