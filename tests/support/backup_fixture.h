// backup_fixture.h - a GoogleTest fixture for the walk and the file backup: a
// temporary source tree, an agent-mode session pointed at a scripted peer,
// a report in its counting state, a private progress area and terminate
// event, a job context with a fixed account key, and readers for what the
// peer received (opens, writes, block data decrypted and inflated).
#pragma once

#include "backup/backup_context.h"
#include "backup/backup_file.h"
#include "backup/walk.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "common/blob_list.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "protocol/wire.h"
#include "report/report.h"
#include "support/scripted_peer.h"
#include "support/test_files.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace backup_test {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

// One "TFS_FILE_WRITE" as received.
struct write_seen {
    uint8_t handle;
    uint8_t type;
    bytes data;
};

// One "TFS_FILE_WOPEN" as received.
struct open_seen {
    uint8_t mode;
    uint32_t mtime;
    std::string path;
    uint64_t size;
    bytes security;
};

inline void no_pause(uint32_t) {}

inline bytes wopen_answer(uint8_t handle, uint16_t known, uint32_t block_size, uint16_t blocks) {
    bytes v(9);
    v[0] = handle;
    put_be16(&v[1], known);
    put_be32(&v[3], block_size);
    put_be16(&v[7], blocks);
    return v;
}

// An answer to a checksum offer: 0 (send the data) with the written count.
inline peer_step offer_answer(uint8_t status = 0) {
    return peer_step::answer(status, status == 0 ? bytes{0, 0} : bytes{});
}

struct listing_entry {
    std::string name;
    uint32_t mtime;
    uint64_t size;
    uint8_t type = 0;
};

inline bytes listing_answer(const std::vector<listing_entry>& entries, uint32_t further = 0,
                            uint8_t cursor = 0) {
    bytes v(7);
    put_be16(&v[0], static_cast<uint16_t>(entries.size()));
    put_be32(&v[2], further);
    v[6] = cursor;
    for (const listing_entry& e : entries) {
        bytes r(21);
        r[0] = e.type;
        put_be32(&r[1], e.mtime);
        put_be64(&r[5], e.size);
        put_be64(&r[13], 0);
        r.push_back(static_cast<uint8_t>(e.name.size()));
        r.insert(r.end(), e.name.begin(), e.name.end());
        v.insert(v.end(), r.begin(), r.end());
    }
    return v;
}

inline std::string md5_of(const uint8_t* p, size_t n) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(p, n, out, &len, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(out), len);
}

// AES-256-CBC with key and a zero initial vector, then zlib inflate; false
// when either step fails.
inline bool open_block(const uint8_t key[32], const bytes& cipher, std::string* plain) {
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> c(EVP_CIPHER_CTX_new(),
                                                                 EVP_CIPHER_CTX_free);
    unsigned char iv[16] = {};
    bytes inflated_input(cipher.size() + 32);
    int n1 = 0, n2 = 0;
    if (EVP_DecryptInit_ex(c.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1) return false;
    if (EVP_DecryptUpdate(c.get(), inflated_input.data(), &n1, cipher.data(),
                          static_cast<int>(cipher.size())) != 1)
        return false;
    if (EVP_DecryptFinal_ex(c.get(), inflated_input.data() + n1, &n2) != 1) return false;
    inflated_input.resize(static_cast<size_t>(n1 + n2));
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = inflated_input.data();
    z.avail_in = static_cast<uInt>(inflated_input.size());
    std::string out;
    char buf[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END || z.avail_in != 0) return false;
    *plain = out;
    return true;
}

class backup_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        const std::string tag = std::to_string(plat_process_id()) + "-" + std::to_string(counter++);
        dir_ = fs::temp_directory_path() / ("tavni-walk-" + tag);
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "src");
        timing t = timing_defaults();
        // Long enough for a peer thread that a busy machine (or a sanitizer)
        // holds back: no case here waits for a silent peer.
        t.recv_wait_ms = 5000;
        t.reconnect_pause_ms = 1;
        t.lock_recovery_ms = 1;
        timing_set_for_tests(t);
        ctfs_set_sleep_for_tests(no_pause);
        job_log_open((dir_ / "job.log").string().c_str());
        ASSERT_EQ(ctfs_init(), 0);

        area_name_ = "/tavni-walk-area-" + tag;
        event_name_ = "/tavni-walk-event-" + tag;
        ASSERT_EQ(progress_open_names(area_name_.c_str(), event_name_.c_str()), 0);

        s = new ctfs_session;
        ctfs_session_init(s);
        s->auth_mode = AUTH_MODE_AGENT;
        s->cipher_mode = 3;
        s->user_id = 42;
        hosts_ = (dir_ / "hosts").string();
        snprintf(s->primary_list, sizeof s->primary_list, "%s", hosts_.c_str());

        report_reset_for_tests();
        report_begin(nullptr, "Daily", nullptr, 1, 42, nullptr, 0);
        report_session(s);
        report_counting(0, 0, "/Dest");

        excluded_ = blob_list_new(1, 1, blob_list_default_destroy);
        sync_ = blob_list_new(1, 1, blob_list_default_destroy);
        filters_ = blob_list_new(1, 1, folder_filter_destroy);
        backup_context_init(&ctx);
        ctx.session = s;
        ctx.excluded = excluded_;
        ctx.sync = sync_;
        ctx.filters = filters_;
        for (int i = 0; i < 32; i++)
            key_[i] = static_cast<uint8_t>(0x11 * (i % 7) + i);
        ctx.account_key = key_;
        ctx.style = native_path_style();
    }

    void TearDown() override {
        backup_context_release(&ctx);
        blob_list_free(excluded_);
        blob_list_free(sync_);
        blob_list_free(filters_);
        ctfs_session_close(s);
        delete s;
        ctfs_cleanup();
        progress_close();
        job_log_close();
        report_reset_for_tests();
        ctfs_set_sleep_for_tests(nullptr);
        timing_set_for_tests(timing_defaults());
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Points the session at peer.
    void use(scripted_peer& peer) { std::ofstream(hosts_, std::ios::binary) << peer.hosts_line(); }

    std::string src(const std::string& rel = "") const {
        return rel.empty() ? (dir_ / "src").string() : (dir_ / "src" / rel).string();
    }
    void write(const std::string& rel, const std::string& text) {
        fs::create_directories((dir_ / "src" / rel).parent_path());
        std::ofstream(dir_ / "src" / rel, std::ios::binary) << text;
    }
    void mkdir(const std::string& rel) { fs::create_directories(dir_ / "src" / rel); }
    plat_file_info status_of(const std::string& path) {
        plat_file_info st{};
        EXPECT_EQ(plat_file_status(path.c_str(), &st), 0) << path;
        return st;
    }

    std::string job_log() const { return slurp(dir_ / "job.log"); }

    // The progress record as the desktop program would read it.
    progress_record progress() const {
        progress_record r{};
        plat_shm* area = plat_shm_open(area_name_.c_str());
        if (!area) return r;
        uint8_t bytes[PROGRESS_RECORD_SIZE];
        long got = plat_shm_read(area, bytes, sizeof bytes);
        plat_shm_close(area);
        if (got == PROGRESS_RECORD_SIZE) progress_decode(bytes, &r);
        return r;
    }
    // Signals the terminate event as the desktop program does.
    void signal_terminate() {
        plat_event* e = plat_event_open(event_name_.c_str());
        ASSERT_NE(e, nullptr);
        plat_event_signal(e);
        plat_event_close(e);
    }

    // Waits (bounded) until the peer has received n file closes; the close
    // is the last request of a file and gets no answer.
    static void wait_closes(const scripted_peer& peer, size_t n = 1) {
        for (int i = 0; i < 1000 && of_type(peer, TFS_FILE_CLOSE).size() < n; i++)
            plat_sleep_ms(5);
    }

    // Requests of the given type, in order.
    static std::vector<peer_request> of_type(const scripted_peer& peer, uint8_t type) {
        std::vector<peer_request> out;
        for (const peer_request& r : peer.requests())
            if (r.type == type) out.push_back(r);
        return out;
    }
    // The path of a TFS_MKDIR or TFS_DELETE request, with its kind byte.
    static std::string path_of(const peer_request& r, uint8_t* kind = nullptr) {
        if (r.payload.size() < 3) return "<short>";
        if (kind) *kind = r.payload[0];
        size_t n = get_be16(&r.payload[1]);
        if (r.payload.size() < 3 + n) return "<short>";
        return std::string(r.payload.begin() + 3, r.payload.begin() + 3 + static_cast<long>(n));
    }
    static std::vector<std::string> paths(const scripted_peer& peer, uint8_t type) {
        std::vector<std::string> out;
        for (const peer_request& r : of_type(peer, type)) {
            uint8_t kind = 0;
            std::string p = path_of(r, &kind);
            out.push_back(type == TFS_DELETE ? std::to_string(kind) + ":" + p : p);
        }
        return out;
    }
    static std::vector<open_seen> opens(const scripted_peer& peer) {
        std::vector<open_seen> out;
        for (const peer_request& r : of_type(peer, TFS_FILE_WOPEN)) {
            const bytes& p = r.payload;
            open_seen o{};
            if (p.size() < 7) continue;
            o.mode = p[0];
            o.mtime = get_be32(&p[1]);
            size_t n = get_be16(&p[5]);
            if (p.size() < 7 + n + 10) continue;
            o.path.assign(p.begin() + 7, p.begin() + 7 + static_cast<long>(n));
            o.size = get_be64(&p[7 + n]);
            size_t sl = get_be16(&p[15 + n]);
            if (p.size() < 17 + n + sl) continue;
            o.security.assign(p.begin() + 17 + static_cast<long>(n),
                              p.begin() + 17 + static_cast<long>(n + sl));
            out.push_back(o);
        }
        return out;
    }
    static std::vector<write_seen> writes(const scripted_peer& peer) {
        std::vector<write_seen> out;
        for (const peer_request& r : of_type(peer, TFS_FILE_WRITE)) {
            const bytes& p = r.payload;
            if (p.size() < 4) continue;
            write_seen w{p[0], p[1], bytes(p.begin() + 4, p.end())};
            EXPECT_EQ(get_be16(&p[2]), w.data.size());
            out.push_back(w);
        }
        return out;
    }
    // The plain bytes of every block sent, in order: the data writes between
    // two closing checksums (or up to the last write) decrypted and inflated.
    std::vector<std::string> blocks_sent(const scripted_peer& peer) {
        std::vector<std::string> out;
        bytes cipher;
        bool open = false;
        for (const write_seen& w : writes(peer)) {
            if (w.type == BACKUP_WRITE_DATA) {
                cipher.insert(cipher.end(), w.data.begin(), w.data.end());
                open = true;
            } else if (w.type == BACKUP_WRITE_CHECKSUM && open) {
                std::string plain;
                EXPECT_TRUE(open_block(key_, cipher, &plain));
                out.push_back(plain);
                cipher.clear();
                open = false;
            }
        }
        return out;
    }

    const job_report* report() const { return report_record(); }
    std::string report_errors() const {
        std::string all;
        const blob_list* e = report_record()->errors;
        for (int32_t i = 0; e && i < blob_list_count(e); i++)
            all += std::string(static_cast<const char*>(blob_list_get(e, i))) + "|";
        return all;
    }

    fs::path dir_;
    std::string hosts_;
    std::string area_name_, event_name_;
    ctfs_session* s = nullptr;
    blob_list* excluded_ = nullptr;
    blob_list* sync_ = nullptr;
    blob_list* filters_ = nullptr;
    uint8_t key_[32];
    backup_context ctx{};
};

} // namespace backup_test
