// server_fixture.h - a served store in a temporary folder with user 7, and
// the helpers the server's tests share: sessions, decoded restores, data.
#pragma once

#include "store_faults.h"
#include "test_client.h"

#include "common/text.h"
#include "tools/server/admin.h"
#include "tools/server/server.h"

#include "support/pg_scratch.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

inline std::string make_data(size_t n, uint32_t seed) {
    // Half compressible, half noise: exercises real zlib output sizes.
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (i / 64) % 2 ? static_cast<char>(rng()) : static_cast<char>('a' + i % 7);
    return s;
}

// The back ends of the served stores of these tests. By default the store
// folder's own (SQLite, block files); TAVNI_TEST_SERVER_BACKENDS=postgresql
// puts each test's catalog in a fresh database of the server that
// TAVNI_PG_CONNINFO names, =s3 its blocks in a fresh bucket of the endpoint
// in TAVNI_S3_ENDPOINT (keys in TAVNI_S3_ACCESS_KEY_ID and
// TAVNI_S3_SECRET_ACCESS_KEY), and =postgresql,s3 both
// (tests/services/services.sh starts them).
struct test_backends {
    srv_backends be;
#ifdef TAVNI_HAVE_LIBPQ
    std::unique_ptr<pg_scratch> db;
#endif
    // False with *err when a back end asked for cannot be had.
    bool make(std::string* err) {
        const char* want = getenv("TAVNI_TEST_SERVER_BACKENDS");
        const std::string w = want ? want : "";
        if (w.find("postgresql") != std::string::npos) {
#ifdef TAVNI_HAVE_LIBPQ
            db = std::make_unique<pg_scratch>();
            if (!pg_unavailable().empty()) {
                *err = pg_unavailable();
                return false;
            }
            if (!db->make(err)) return false;
            const std::string admin = db->admin; // postgresql://USER@HOST:PORT/DB
            be.catalog = admin.substr(0, admin.rfind('/') + 1) + db->name;
#else
            *err = pg_unavailable();
            return false;
#endif
        }
        if (w.find("s3") != std::string::npos) {
            static std::atomic<int> n{0};
            const char* endpoint = getenv("TAVNI_S3_ENDPOINT");
            const char* region = getenv("TAVNI_S3_REGION");
            if (!endpoint || !*endpoint) {
                *err = "TAVNI_S3_ENDPOINT is unset";
                return false;
            }
            be.blocks = "s3://tavni-t" + std::to_string(plat_process_id()) + "-" +
                        std::to_string(n++) + "?endpoint=" + endpoint +
                        (region && *region ? std::string("&region=") + region : std::string());
        }
        return true;
    }
    bool local_catalog() const { return be.catalog.empty(); }
    bool local_blocks() const { return be.blocks.empty(); }
};

struct server_fixture : ::testing::Test {
    test_backends backends;
    std::string dir;
    srv_store* st = nullptr;
    srv_server* srv = nullptr;
    uint16_t port = 0;
    uint8_t key[32];
    uint8_t digest[20];
    uint8_t host1[20], host2[20];
    srv_config cfg;
    // Publishes of these digests fail, on every back end (the served
    // store's blocks are wrapped for it at each open).
    block_refusals refusals;

    void SetUp() override {
        dir = unique_temp_path("srv").string();
        std::filesystem::remove_all(dir);
        std::string err;
        ASSERT_TRUE(backends.make(&err)) << err;
        ASSERT_TRUE(srv_store_init(dir, backends.be, &err)) << err;
        for (int i = 0; i < 32; i++)
            key[i] = static_cast<uint8_t>(i * 7 + 1);
        tc_sha1(key, 32, digest);
        memset(host1, 0x11, 20);
        memset(host2, 0x22, 20);
        cfg.idle_timeout_ms = 5000;
        // Every peer of these tests is 127.0.0.1, and the server may notice
        // a closed connection after the next one arrived.
        cfg.max_connections_per_address = cfg.max_connections;
        open_and_start();
        ASSERT_EQ(srv_cmd_user_add(st, 7, "bob", "acme", digest), 0);
    }

    void open_and_start() {
        std::string err;
        st = srv_store_open(dir, true, &err);
        ASSERT_NE(st, nullptr) << err;
        block_refusals_install(&st->blocks, &refusals);
        srv = srv_start(st, cfg, &port, &err);
        ASSERT_NE(srv, nullptr) << err;
    }

    void stop() {
        srv_stop(srv);
        srv = nullptr;
        srv_store_close(st);
        st = nullptr;
    }

    void TearDown() override {
        if (srv) srv_stop(srv);
        srv_store_close(st);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Connected, logged in as user 7 from host, holding destination 1.
    void session(tc_conn* c, const uint8_t* host, bool lock = true) {
        ASSERT_TRUE(tc_connect(c, port));
        ASSERT_EQ(tc_login(c, 7, digest, host, "daily.tbs"), 0);
        if (lock) {
            ASSERT_EQ(tc_lock(c, 0, {1}), 0);
        }
    }

    // The current version of a path decoded with the account key.
    std::string restore(const std::string& path, int64_t at = 0) {
        cat_version v;
        if (st->cat.ops->version_at(st->cat.self, 7, path, at, &v) != CAT_OK) return "<none>";
        std::string tmp = dir + "/restore.out";
        FILE* f = fopen(tmp.c_str(), "wb");
        std::string why;
        bool ok = srv_decode_version(st, v, key, f, &why);
        fclose(f);
        if (!ok) return "<damaged: " + why + ">";
        FILE* r = fopen(tmp.c_str(), "rb");
        std::string out;
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, r)) > 0)
            out.append(buf, n);
        fclose(r);
        return out;
    }

    // The digest of the one block that data (up to a block long) is stored
    // as: the block chain is deterministic under the fixture's key.
    blk_digest block_digest_of(const std::string& data) {
        std::vector<uint8_t> enc =
            tc_encode_block(key, reinterpret_cast<const uint8_t*>(data.data()), data.size());
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(enc.data(), enc.size(), md, &n, EVP_sha256(), nullptr);
        return hex_lower(md, n);
    }

    // Damages a stored block behind the server's back, where the store in
    // use keeps it (a block file, an S3 object).
    void damage_block(const blk_digest& d, block_damage how) {
        std::string err;
        ASSERT_TRUE(store_damage_block(dir, backends.be, d, how, &err)) << err;
    }

    // Waits until the closing connection's version is durable: the next
    // request of a connection waits for its own earlier closes.
    void sync(tc_conn* c) {
        tc_page p;
        tc_find(c, 0, 0x20, "", &p);
    }
};
