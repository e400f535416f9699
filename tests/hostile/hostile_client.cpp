// hostile_client.cpp - the hostile peers of tests/e2e/hostile_server.sh, each
// speaking the real protocol (or refusing to) against a tavni-server on
// loopback, from a 127.0.0.x address of its own.
//
//   silent PORT FROM COUNT      keeps COUNT sockets open that never send a byte
//   flood PORT FROM USER COUNT  COUNT tries at a wrong log-in, as fast as the
//                               server lets them through
//   bomb PORT FROM USER KEYFILE ROUNDS
//                               listings with a filter built to make a
//                               backtracking matcher run for ages; fails when
//                               an answer is missing or takes 5 s or more
//   hoard PORT FROM USER KEYFILE CONNS
//                               opens files with a block under way on CONNS
//                               connections until refused, then holds them
//   mail PORT FROM USER KEYFILE a mail of many parts, then one past the limit
//   garbage PORT FROM COUNT     COUNT key exchanges with a key block that
//                               decrypts to nothing, as fast as let through
//   lister PORT FROM USER KEYFILE CONNS ENTRIES
//                               makes a folder of ENTRIES empty files (once),
//                               then holds 16 listings of it open on each of
//                               CONNS connections, the kth from FROM's last
//                               number plus k (one address each)
//   trickle-server PORT FROM DELAY_MS
//                               a fake server on FROM:PORT (0: any port; the
//                               port is printed) that reads a client's
//                               greeting and then sends a valid key
//                               announcement one byte every DELAY_MS
//   reader PORT FROM USER KEYFILE DIGEST ROUNDS
//                               the control tool's reads as a stranger: each
//                               refused before the log-in; logged in, another
//                               user's block (DIGEST, hex) and runs refused,
//                               oversized pages and pieces refused, then
//                               ROUNDS block reads as fast as answered; fails
//                               on any answer that is not a refusal
// silent, hoard and trickle-server run until killed; the others exit 0 when
// done.
#include "platform/server.h"
#include "test_client.h"

#include "common/secret_file.h"
#include "protocol/codes.h"
#include "protocol/handshake.h"
#include "protocol/read_wire.h"
#include "tools/server/admin.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct args {
    uint16_t port = 0;
    const char* from = nullptr;
    uint32_t user = 0;
    uint8_t digest[20] = {};
};

int64_t ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

bool load_digest(const char* file, uint8_t digest[20]) {
    std::string hex, err;
    uint8_t key[32];
    if (!secret_file_read(file, 64, &hex, &err) || !srv_parse_hex(hex, key, 32)) {
        fprintf(stderr, "hostile: no account key in %s %s\n", file, err.c_str());
        return false;
    }
    tc_sha1(key, 32, digest);
    return true;
}

// Connected and keyed from c->source; a busy server turns some connections
// away at random before their key, so an honest client tries again (as the
// agent does), a bounded number of times.
bool connect_retrying(tc_conn* c, uint16_t port) {
    for (int tries = 0; tries < 200; tries++) {
        if (tc_connect(c, port)) return true;
        tc_close(c);
        plat_sleep_ms(50);
    }
    return false;
}

// Logged in as the user from its own address, holding destination 9.
bool logged_in(const args& a, tc_conn* c) {
    c->source = a.from;
    uint8_t host[20];
    memset(host, 0x66, sizeof host);
    return connect_retrying(c, a.port) &&
           tc_login(c, a.user, a.digest, host, "hostile.tbs") == 0 && tc_lock(c, 0, {9}) == 0;
}

int run_silent(const args& a, int count) {
    std::vector<std::unique_ptr<tc_conn>> socks;
    for (int i = 0; i < count; i++) {
        socks.emplace_back(new tc_conn());
        socks.back()->source = a.from;
    }
    printf("silent: started\n");
    fflush(stdout);
    for (;;)
        for (auto& s : socks) {
            uint8_t b;
            // A socket the server closed (or refused) is opened again.
            if (s->sock == PLAT_NET_INVALID || plat_net_recv(s->sock, &b, 1, 10) != -2)
                tc_connect_raw(s.get(), a.port);
        }
}

int run_flood(const args& a, int count) {
    uint8_t wrong[20];
    memcpy(wrong, a.digest, 20);
    wrong[0] ^= 0xff;
    uint8_t host[20];
    memset(host, 0x44, sizeof host);
    tc_conn c;
    c.source = a.from;
    int answered = 0, refused = 0;
    for (int i = 0; i < count; i++) {
        if (!c.cipher && !tc_connect(&c, a.port)) {
            tc_close(&c);
            refused++;
            continue;
        }
        if (tc_login(&c, a.user, wrong, host, "guess.tbs") == ERR_AUTH_FAILURE)
            answered++;
        else
            tc_close(&c); // ended by the server: connect again
    }
    printf("flood: %d wrong log-ins answered, %d connections refused\n", answered, refused);
    return 0;
}

int run_bomb(const args& a, int rounds) {
    tc_conn c;
    if (!logged_in(a, &c)) return 1;
    uint8_t rc = tc_mkdir(&c, "bomb/" + std::string(200, 'a'));
    if (rc != 0 && rc != ERR_EXISTS) return 1;
    std::string filter;
    for (int i = 0; i < 40; i++)
        filter += "*a";
    filter += "*b";
    int64_t slowest = 0;
    for (int i = 0; i < rounds; i++) {
        auto t0 = std::chrono::steady_clock::now();
        tc_page p;
        rc = tc_find(&c, 0, 0x21, "bomb", &p, filter);
        slowest = std::max(slowest, ms_since(t0));
        if (rc != 0 || p.count != 0) {
            printf("bomb: listing %d gave %d\n", i, rc);
            return 1;
        }
    }
    printf("bomb: %d answers, the slowest in %lld ms\n", rounds, static_cast<long long>(slowest));
    return slowest < 5000 ? 0 : 1;
}

int run_hoard(const args& a, int conns) {
    std::vector<std::unique_ptr<tc_conn>> cs;
    int held = 0, serial = 0;
    // Takes all it can get: a refusal (or any failure) ends a connection's share.
    for (int k = 0; k < conns; k++) {
        cs.emplace_back(new tc_conn());
        tc_conn* c = cs.back().get();
        if (!logged_in(a, c)) break;
        for (int i = 0; i < 255; i++) {
            tc_open o;
            if (tc_wopen(c, "hoard/" + std::to_string(serial++), 100, 1, &o) != 0 ||
                tc_offer(c, o.handle, nullptr) != 0)
                break;
            uint8_t junk[32] = {0};
            tc_write_silent(c, o.handle, 8, junk, sizeof junk);
            held++;
        }
        tc_page p; // answered after every write before it: the temporaries are open
        tc_find(c, 0, 0x20, "", &p);
    }
    printf("hoard: holding %d handles\n", held);
    fflush(stdout);
    uint8_t b;
    while (cs[0]->sock != PLAT_NET_INVALID && plat_net_recv(cs[0]->sock, &b, 1, 60000) == -2) {
    }
    return 0;
}

int run_mail(const args& a) {
    tc_conn c;
    if (!logged_in(a, &c)) return 1;
    const int parts = 500;
    std::string body;
    for (int i = 0; i < parts; i++)
        body += std::string(99, static_cast<char>('a' + i % 26)) + "\n";
    std::vector<uint8_t> p;
    srv_put_u8(&p, 0);
    srv_put_u64(&p, 8);
    srv_put_u8(&p, 1);
    srv_put_text8(&p, "eve@example.com");
    srv_put_u32(&p, static_cast<uint32_t>(body.size()));
    std::vector<uint8_t> first = p;
    srv_put_u16(&first, 100);
    first.insert(first.end(), body.begin(), body.begin() + 100);
    if (tc_transact(&c, TFS_EMAIL, first, nullptr) != 0) return 1;
    for (int i = 1; i < parts; i++) {
        std::vector<uint8_t> q;
        srv_put_u8(&q, 2);
        srv_put_u16(&q, 100);
        q.insert(q.end(), body.begin() + i * 100, body.begin() + (i + 1) * 100);
        if (tc_transact(&c, TFS_EMAIL, q, nullptr) != 0) return 1;
    }
    // A body past the report limit is refused at its first part.
    std::vector<uint8_t> huge;
    srv_put_u8(&huge, 0);
    srv_put_u64(&huge, 8);
    srv_put_u8(&huge, 0);
    srv_put_u32(&huge, 64u << 20);
    srv_put_u16(&huge, 0);
    if (tc_transact(&c, TFS_EMAIL, huge, nullptr) != ERR_INVARG) return 1;
    printf("mail: %d parts stored, an oversized one refused\n", parts);
    return 0;
}

int run_garbage(const args& a, int count) {
    int sent = 0, refused = 0;
    for (int i = 0; i < count; i++) {
        tc_conn c;
        c.source = a.from;
        c.timeout_ms = 2000;
        if (!tc_connect_raw(&c, a.port)) {
            refused++;
            continue;
        }
        std::vector<uint8_t> bytes(tfs_greeting, tfs_greeting + TFS_GREETING_LEN);
        bytes.resize(bytes.size() + TFS_KEY_BLOCK, static_cast<uint8_t>(i));
        if (tc_send_raw(&c, bytes.data(), bytes.size())) sent++;
        tc_closed_by_peer(&c);
    }
    printf("garbage: %d key blocks sent, %d connections refused\n", sent, refused);
    return 0;
}

int run_lister(const args& a, int conns, int entries) {
    tc_conn maker;
    if (!logged_in(a, &maker)) return 1;
    tc_page p;
    if (tc_find(&maker, 0, 0x21, "big", &p) != 0 || p.count + p.further < entries) {
        for (int i = 0; i < entries; i++) {
            tc_open o;
            uint8_t rc = tc_wopen(&maker, "big/e" + std::to_string(i), 0, 1, &o);
            if (rc == 0) {
                tc_file_close(&maker, o.handle);
            } else if (rc != ERR_UP2DATE) {
                printf("lister: making entry %d gave %d\n", i, rc);
                return 1;
            }
        }
        tc_page sync; // answered after every close before it was read
        tc_find(&maker, 0, 0x20, "", &sync);
    }
    std::vector<std::unique_ptr<tc_conn>> cs;
    std::vector<std::string> sources;
    const std::string base(a.from);
    const size_t dot = base.rfind('.');
    for (int k = 0; k < conns; k++)
        sources.push_back(base.substr(0, dot + 1) +
                          std::to_string(atoi(base.c_str() + dot + 1) + k));
    int held = 0;
    // The maker's identity, whose lock covers the listings.
    uint8_t host[20];
    memset(host, 0x66, sizeof host);
    for (int k = 0; k < conns; k++) {
        cs.emplace_back(new tc_conn());
        tc_conn* c = cs.back().get();
        c->source = sources[static_cast<size_t>(k)].c_str();
        if (!connect_retrying(c, a.port) ||
            tc_login(c, a.user, a.digest, host, "lister.tbs") != 0)
            break;
        for (int i = 0; i < 16; i++) {
            tc_page q;
            uint8_t rc = tc_find(c, 0, 0x21, "big", &q);
            if (rc == 0 && q.further) held++;
            if (rc != 0 && i == 0) printf("lister: a listing gave %d\n", rc);
        }
    }
    printf("lister: holding %d listings\n", held);
    fflush(stdout);
    uint8_t b;
    while (cs[0]->sock != PLAT_NET_INVALID && plat_net_recv(cs[0]->sock, &b, 1, 60000) == -2) {
    }
    return 0;
}

int run_trickle_server(const args& a, uint32_t delay_ms) {
    uint16_t port = 0;
    plat_net l = plat_net_listen(a.from, a.port, &port);
    if (l == PLAT_NET_INVALID) return 1;
    printf("trickle-server: listening on port %u\n", port);
    fflush(stdout);
    // Any public key serves: the client never gets past it.
    static const char pem[] =
        "-----BEGIN PUBLIC KEY-----\n"
        "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAu1SU1LfVLPHCozMxH2Mo\n"
        "-----END PUBLIC KEY-----\n";
    const size_t key_len = sizeof pem - 1;
    std::string hello;
    hello += static_cast<char>(key_len >> 8);
    hello += static_cast<char>(key_len & 0xff);
    hello += pem;
    for (int n = 1;; n++) {
        plat_net s = plat_net_accept(l, 60000);
        if (s == PLAT_NET_INVALID) continue;
        uint8_t greet[4];
        size_t got = 0;
        while (got < sizeof greet) {
            long r = plat_net_recv(s, greet + got, sizeof greet - got, 10000);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        printf("trickle-server: connection %d greeted\n", n);
        fflush(stdout);
        for (size_t i = 0; i < hello.size(); i++) {
            if (plat_net_send_all(s, hello.data() + i, 1, 1000) != 0) break;
            printf("trickle-server: connection %d: %zu bytes sent\n", n, i + 1);
            fflush(stdout);
            // A peer that left shows as readable (its close).
            uint8_t b;
            long r = plat_net_recv(s, &b, 1, delay_ms);
            if (r != -2) break;
        }
        printf("trickle-server: connection %d ended\n", n);
        fflush(stdout);
        plat_net_close(s);
    }
}

} // namespace

// One read request of type with the payload the encoder wrote; the status.
static uint8_t read_once(tc_conn* c, uint8_t type, const uint8_t* p, size_t n, tc_reply* r) {
    return tc_transact(c, type, std::vector<uint8_t>(p, p + n), r);
}

static int run_reader(const args& a, const char* victim_hex, int rounds) {
    uint8_t victim[32];
    if (!srv_parse_hex(victim_hex, victim, sizeof victim)) return 2;
    static uint8_t buf[CTFS_MAX_PAYLOAD];
    tc_reply r;
    int failures = 0;
    auto expect = [&](const char* what, uint8_t got, uint8_t want) {
        if (got == want) return;
        fprintf(stderr, "reader: %s: status %d, not %d\n", what, got, want);
        failures++;
    };
    read_runs_query runs;
    read_folder_query folder;
    read_blocks_query blocks;
    blocks.path = "1/secret";
    read_block_query block;
    memcpy(block.digest, victim, sizeof victim);
    {
        tc_conn c;
        c.source = a.from;
        if (!connect_retrying(&c, a.port)) return 1;
        expect("runs before the log-in",
               read_once(&c, TFS_READ_RUNS, buf, read_encode_runs_query(runs, buf, sizeof buf), &r),
               ERR_ACCESS);
        expect("folder before the log-in",
               read_once(&c, TFS_READ_FOLDER, buf,
                         read_encode_folder_query(folder, buf, sizeof buf), &r),
               ERR_ACCESS);
        expect("blocks before the log-in",
               read_once(&c, TFS_READ_BLOCKS, buf,
                         read_encode_blocks_query(blocks, buf, sizeof buf), &r),
               ERR_ACCESS);
        expect("block before the log-in",
               read_once(&c, TFS_READ_BLOCK, buf, read_encode_block_query(block, buf, sizeof buf),
                         &r),
               ERR_ACCESS);
        if (!r.payload.empty()) failures++;
    }
    tc_conn c;
    c.source = a.from;
    uint8_t host[20];
    memset(host, 0x67, sizeof host);
    if (!connect_retrying(&c, a.port) || tc_login(&c, a.user, a.digest, host, "reader") != 0)
        return 1;
    expect("another user's block",
           read_once(&c, TFS_READ_BLOCK, buf, read_encode_block_query(block, buf, sizeof buf), &r),
           ERR_READ_NO_BLOCK);
    // The stranger's own runs, then every other id refused as unknown.
    if (read_once(&c, TFS_READ_RUNS, buf, read_encode_runs_query(runs, buf, sizeof buf), &r) != 0)
        return 1;
    read_runs_page mine;
    if (!read_decode_runs(r.payload.data(), r.payload.size(), &mine)) return 1;
    for (uint64_t id = 1; id <= 64; id++) {
        bool own = false;
        for (const read_run& run : mine.runs)
            own = own || run.id == id;
        if (own) continue;
        folder.run = id;
        expect("another user's run",
               read_once(&c, TFS_READ_FOLDER, buf,
                         read_encode_folder_query(folder, buf, sizeof buf), &r),
               ERR_READ_NO_RUN);
    }
    runs.limit = READ_RUNS_PAGE_MAX + 1;
    expect("an oversized page of runs",
           read_once(&c, TFS_READ_RUNS, buf, read_encode_runs_query(runs, buf, sizeof buf), &r),
           ERR_DATAMAX);
    block.length = READ_CHUNK_MAX + 1;
    expect("an oversized piece",
           read_once(&c, TFS_READ_BLOCK, buf, read_encode_block_query(block, buf, sizeof buf), &r),
           ERR_DATAMAX);
    block.length = READ_CHUNK_MAX;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        block.digest[i % 32] ^= static_cast<uint8_t>(i);
        block.offset = static_cast<uint64_t>(i) * 65536;
        uint8_t rc = read_once(&c, TFS_READ_BLOCK, buf,
                               read_encode_block_query(block, buf, sizeof buf), &r);
        if (rc != ERR_READ_NO_BLOCK && rc != 0) expect("a block read of the flood", rc, 0);
        if (rc == 0) failures++; // a guessed digest that is not the stranger's
    }
    printf("reader: %d block reads answered in %lld ms, %d failures\n", rounds,
           static_cast<long long>(ms_since(t0)), failures);
    fflush(stdout);
    return failures == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: see the top of hostile_client.cpp\n");
        return 2;
    }
    const std::string mode = argv[1];
    args a;
    a.port = static_cast<uint16_t>(atoi(argv[2]));
    a.from = argv[3];
    if (mode == "silent" && argc == 5) return run_silent(a, atoi(argv[4]));
    if (mode == "garbage" && argc == 5) return run_garbage(a, atoi(argv[4]));
    if (mode == "trickle-server" && argc == 5)
        return run_trickle_server(a, static_cast<uint32_t>(atoi(argv[4])));
    if (argc < 5) return 2;
    a.user = static_cast<uint32_t>(strtoul(argv[4], nullptr, 10));
    if (mode == "flood" && argc == 6) return run_flood(a, atoi(argv[5]));
    if (argc < 6 || !load_digest(argv[5], a.digest)) return 2;
    if (mode == "bomb" && argc == 7) return run_bomb(a, atoi(argv[6]));
    if (mode == "hoard" && argc == 7) return run_hoard(a, atoi(argv[6]));
    if (mode == "mail") return run_mail(a);
    if (mode == "lister" && argc == 8) return run_lister(a, atoi(argv[6]), atoi(argv[7]));
    if (mode == "reader" && argc == 8) return run_reader(a, argv[6], atoi(argv[7]));
    return 2;
}
