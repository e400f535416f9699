// The block stream chain, checked against independent decoding: the bytes
// are decrypted with OpenSSL and inflated with zlib here, not by our code.
#include "backup/streams.h"

#include "support/test_files.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

namespace {

const uint8_t key[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct TempFile {
    fs::path path;
    explicit TempFile(const bytes& data) {
        path = unique_temp_path("stream");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }
    ~TempFile() { fs::remove(path); }
};

bytes compressible(size_t n) {
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>("backup "[i % 7] + (i / 4096) % 3);
    return b;
}

bytes random_bytes(size_t n, unsigned seed = 7) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto& c : b)
        c = static_cast<uint8_t>(rng());
    return b;
}

bytes decrypt(const bytes& cipher) {
    static const uint8_t iv[16] = {0};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bytes out(cipher.size() + 16);
    int n1 = 0, n2 = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
              EVP_DecryptUpdate(ctx, out.data(), &n1, cipher.data(),
                                static_cast<int>(cipher.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return bytes{0xde, 0xad};
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

// Inflates one complete zlib stream; fails the test on trailing bytes.
bytes inflate_all(const bytes& z) {
    z_stream s = {};
    inflateInit(&s);
    bytes out;
    uint8_t buf[16384];
    s.next_in = const_cast<uint8_t*>(z.data());
    s.avail_in = static_cast<uInt>(z.size());
    int rc;
    do {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
    } while (rc == Z_OK);
    EXPECT_EQ(Z_STREAM_END, rc);
    EXPECT_EQ(0u, s.avail_in);
    inflateEnd(&s);
    return out;
}

bytes md5(const bytes& b) {
    bytes d(16);
    unsigned int len = 0;
    EVP_Digest(b.data(), b.size(), d.data(), &len, EVP_md5(), nullptr);
    return d;
}

data_stream* chain(plat_file f, int64_t offset, uint32_t length, uint8_t* digest,
                   uint64_t* counter = nullptr) {
    data_stream* s = file_read_stream_new(f, offset, length, counter);
    if (digest) s = digest_stream_new(s, digest);
    return encrypt_stream_new(compress_stream_new(s), key);
}

// Pulls until the end; every call is checked against writing past capacity.
bytes pull(data_stream* s, int32_t capacity, int32_t* last = nullptr) {
    bytes out;
    std::vector<uint8_t> buf(static_cast<size_t>(capacity) + 64, 0xAB);
    for (;;) {
        int32_t r = s->read(s, buf.data(), capacity);
        for (size_t i = static_cast<size_t>(capacity); i < buf.size(); i++)
            if (buf[i] != 0xAB) ADD_FAILURE() << "wrote past capacity " << capacity;
        if (r <= 0) {
            if (last) *last = r;
            return out;
        }
        EXPECT_LE(r, capacity);
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
}

// An inner stream that gives a scripted sequence of results.
struct scripted {
    data_stream s;
    std::vector<int32_t> results;
    size_t at = 0;
};

int32_t scripted_read(data_stream* s, void* buf, int32_t capacity) {
    scripted* sc = reinterpret_cast<scripted*>(s);
    if (sc->at >= sc->results.size()) return STREAM_END;
    int32_t r = sc->results[sc->at++];
    if (r > 0) memset(buf, 'x', static_cast<size_t>(r < capacity ? r : capacity));
    return r;
}

void scripted_destroy(data_stream* s) {
    using results_t = std::vector<int32_t>;
    reinterpret_cast<scripted*>(s)->results.~results_t();
}

// The chain frees records with free(), so the record comes from malloc.
data_stream* scripted_new(std::vector<int32_t> results) {
    scripted* raw = static_cast<scripted*>(malloc(sizeof(scripted)));
    memset(&raw->s, 0, sizeof raw->s);
    raw->s.read = scripted_read;
    raw->s.destroy = scripted_destroy;
    new (&raw->results) std::vector<int32_t>(std::move(results));
    raw->at = 0;
    return &raw->s;
}

} // namespace

TEST(StreamChain, RoundTripsCompressibleAndRandomBlocks) {
    for (const bytes& plain : {compressible(300000), random_bytes(200000)}) {
        TempFile t(plain);
        plat_file f = plat_file_open_read(t.path.string().c_str());
        ASSERT_NE(PLAT_NO_FILE, f);
        uint8_t digest[16];
        uint64_t counter = 5;
        data_stream* s = chain(f, 0, static_cast<uint32_t>(plain.size()), digest, &counter);
        ASSERT_NE(nullptr, s);
        int32_t last = 0;
        bytes cipher = pull(s, 65466, &last);
        EXPECT_EQ(STREAM_END, last);
        EXPECT_EQ(STREAM_END, s->read(s, nullptr, 100)); // and on every later call
        data_stream_free(s);
        plat_file_close(f);
        EXPECT_EQ(0u, cipher.size() % 16);
        EXPECT_EQ(plain, inflate_all(decrypt(cipher)));
        EXPECT_EQ(md5(plain), bytes(digest, digest + 16)); // of the plain bytes
        EXPECT_EQ(5 + plain.size(), counter);
    }
}

TEST(StreamChain, SmallAndOddCapacitiesGiveTheSameBytes) {
    bytes plain = compressible(50000);
    bytes rnd = random_bytes(3000);
    plain.insert(plain.end(), rnd.begin(), rnd.end());
    TempFile t(plain);
    plat_file f = plat_file_open_read(t.path.string().c_str());
    data_stream* s = chain(f, 0, static_cast<uint32_t>(plain.size()), nullptr);
    bytes whole = pull(s, 65466);
    data_stream_free(s);
    for (int32_t cap : {16, 17, 31, 100, 8193}) {
        s = chain(f, 0, static_cast<uint32_t>(plain.size()), nullptr);
        EXPECT_EQ(whole, pull(s, cap)) << cap;
        data_stream_free(s);
    }
    plat_file_close(f);
    EXPECT_EQ(plain, inflate_all(decrypt(whole)));
}

TEST(StreamChain, EmptyBlockIsOneCipherBlockOfAnEmptyZlibStream) {
    TempFile t(bytes{});
    plat_file f = plat_file_open_read(t.path.string().c_str());
    uint8_t digest[16];
    data_stream* s = chain(f, 0, 0, digest);
    bytes cipher = pull(s, 65466);
    data_stream_free(s);
    plat_file_close(f);
    ASSERT_EQ(16u, cipher.size());
    bytes z = decrypt(cipher);
    EXPECT_EQ(8u, z.size()); // header, empty final block, Adler-32 of nothing
    EXPECT_EQ(bytes{}, inflate_all(z));
    EXPECT_EQ(md5(bytes{}), bytes(digest, digest + 16));
}

TEST(StreamChain, FinalBlockWaitsForSixteenBytesOfRoom) {
    bytes plain = compressible(20000);
    TempFile t(plain);
    plat_file f = plat_file_open_read(t.path.string().c_str());
    data_stream* s = chain(f, 0, static_cast<uint32_t>(plain.size()), nullptr);
    bytes whole = pull(s, 65466);
    data_stream_free(s);
    size_t compressed = decrypt(whole).size();
    ASSERT_GE(compressed, 16u);
    int32_t body = static_cast<int32_t>(compressed / 16 * 16); // bytes before the final block

    s = chain(f, 0, static_cast<uint32_t>(plain.size()), nullptr);
    bytes buf(70000);
    // Room for every whole block plus 15: data comes, the final block does not.
    int32_t r = s->read(s, buf.data(), body + 15);
    EXPECT_EQ(body, r);
    bytes got(buf.begin(), buf.begin() + r);
    r = s->read(s, buf.data(), 16);
    EXPECT_EQ(16, r);
    got.insert(got.end(), buf.begin(), buf.begin() + r);
    EXPECT_EQ(STREAM_END, s->read(s, buf.data(), 16));
    data_stream_free(s);
    plat_file_close(f);
    EXPECT_EQ(whole, got);
}

TEST(StreamChain, BlocksOfOneFileAreIndependent) {
    bytes half = random_bytes(5000, 3);
    bytes plain = half;
    plain.insert(plain.end(), half.begin(), half.end());
    TempFile t(plain);
    plat_file f = plat_file_open_read(t.path.string().c_str());
    data_stream* a = chain(f, 0, 5000, nullptr);
    bytes first = pull(a, 65466);
    data_stream_free(a);
    uint64_t counter = 0;
    data_stream* b = chain(f, 5000, 5000, nullptr, &counter);
    bytes second = pull(b, 65466);
    data_stream_free(b);
    plat_file_close(f);
    EXPECT_EQ(first, second); // both start from the zero initial vector
    EXPECT_EQ(half, inflate_all(decrypt(second)));
    EXPECT_EQ(5000u, counter);
}

TEST(StreamChain, FileShrinkingUnderTheStreamIsAnError) {
    bytes plain = random_bytes(100000);
    TempFile t(plain);
    plat_file f = plat_file_open_read(t.path.string().c_str());
    data_stream* s = chain(f, 0, static_cast<uint32_t>(plain.size()), nullptr);
    fs::resize_file(t.path, 10000);
    int32_t last = 0;
    pull(s, 65466, &last);
    EXPECT_EQ(STREAM_ERROR, last);
    data_stream_free(s);
    // A block that starts past the end fails at once, too.
    s = file_read_stream_new(f, 20000, 100, nullptr);
    uint8_t buf[100];
    EXPECT_EQ(STREAM_ERROR, s->read(s, buf, sizeof buf));
    data_stream_free(s);
    plat_file_close(f);
    // A bad descriptor: the seek fails and so does the read.
    s = file_read_stream_new(PLAT_NO_FILE, 0, 100, nullptr);
    EXPECT_EQ(STREAM_ERROR, s->read(s, buf, sizeof buf));
    data_stream_free(s);
}

TEST(StreamChain, ErrorsPassUpAndNullInnerGivesNull) {
    EXPECT_EQ(nullptr, digest_stream_new(nullptr, nullptr));
    EXPECT_EQ(nullptr, compress_stream_new(nullptr));
    EXPECT_EQ(nullptr, encrypt_stream_new(nullptr, key));
    data_stream_free(nullptr);
    uint8_t digest[16];
    uint8_t buf[64];
    for (int32_t err : {STREAM_ERROR, STREAM_FATAL}) {
        data_stream* d = digest_stream_new(scripted_new({10, err}), digest);
        EXPECT_EQ(10, d->read(d, buf, sizeof buf));
        EXPECT_EQ(err, d->read(d, buf, sizeof buf));
        data_stream_free(d);
        data_stream* z = compress_stream_new(scripted_new({100, err}));
        EXPECT_EQ(err, z->read(z, buf, sizeof buf));
        data_stream_free(z);
        data_stream* e = encrypt_stream_new(scripted_new({20, err}), key);
        EXPECT_EQ(err, e->read(e, buf, sizeof buf));
        data_stream_free(e);
    }
    // An inner stream with nothing to give and nothing buffered is an error.
    data_stream* e = encrypt_stream_new(scripted_new({0}), key);
    EXPECT_EQ(STREAM_ERROR, e->read(e, buf, sizeof buf));
    data_stream_free(e);
    // An inner stream that claims more than the room it had is not trusted.
    data_stream* z = compress_stream_new(scripted_new({9000}));
    EXPECT_EQ(STREAM_ERROR, z->read(z, buf, sizeof buf));
    data_stream_free(z);
    // The digest stream hands 0 through unchanged.
    data_stream* d = digest_stream_new(scripted_new({0, 4}), digest);
    EXPECT_EQ(0, d->read(d, buf, sizeof buf));
    EXPECT_EQ(4, d->read(d, buf, sizeof buf));
    data_stream_free(d);
}
