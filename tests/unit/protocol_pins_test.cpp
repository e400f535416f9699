// protocol_pins_test.cpp - the pinned server keys: fingerprints, the pin
// file, and a session that pins at its first log-in and sends nothing past
// the greeting to a server whose key is not the pinned one.
#include "protocol/pins.h"
#include "protocol/remote.h"
#include "support/scripted_peer.h"
#include "support/session_fixture.h"
#include "support/test_rsa_key.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The public half of the tests' key, as the scripted peer announces it.
std::string test_public_pem() {
    BIO* in = BIO_new_mem_buf(test_rsa_key_pem, -1);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(out, key);
    char* data = nullptr;
    long n = BIO_get_mem_data(out, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(out);
    EVP_PKEY_free(key);
    return pem;
}

std::vector<uint8_t> test_fingerprint() {
    std::string pem = test_public_pem();
    std::vector<uint8_t> fp(CTFS_FINGERPRINT_SIZE);
    EXPECT_TRUE(ctfs_key_fingerprint(reinterpret_cast<const uint8_t*>(pem.data()), pem.size(),
                                     fp.data()));
    return fp;
}

class ProtocolPins : public session_fixture {
  protected:
    std::string pins() const { return (dir_ / "hosts.keys").string(); }
    void pin_to(const std::string& host_port_file) {
        snprintf(s->pin_file, sizeof s->pin_file, "%s", host_port_file.c_str());
        s->pin_at_login = true;
    }
    tfs_result mkdir() {
        ctfs_path_request r{0, "/docs"};
        return ctfs_mkdir(s, &r);
    }
};

} // namespace

TEST(ProtocolFingerprint, TheKeyNotItsLayoutAndTheTextRoundTrip) {
    std::string pem = test_public_pem();
    uint8_t a[CTFS_FINGERPRINT_SIZE], b[CTFS_FINGERPRINT_SIZE];
    ASSERT_TRUE(ctfs_key_fingerprint(reinterpret_cast<const uint8_t*>(pem.data()), pem.size(), a));
    // The same key with other line ends and padding gives the same fingerprint.
    std::string crlf;
    for (char c : pem)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    crlf += "\n\n";
    ASSERT_TRUE(
        ctfs_key_fingerprint(reinterpret_cast<const uint8_t*>(crlf.data()), crlf.size(), b));
    EXPECT_EQ(memcmp(a, b, sizeof a), 0);
    const char junk[] = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
    EXPECT_FALSE(ctfs_key_fingerprint(reinterpret_cast<const uint8_t*>(junk), sizeof junk - 1, b));

    char text[CTFS_FINGERPRINT_TEXT];
    ctfs_fingerprint_text(a, text);
    ASSERT_EQ(strlen(text), 7u + 64u);
    EXPECT_EQ(std::string(text, 7), "SHA256:");
    memset(b, 0, sizeof b);
    ASSERT_TRUE(ctfs_fingerprint_parse(text, b));
    EXPECT_EQ(memcmp(a, b, sizeof a), 0);
    std::string upper_bare = text + 7;
    for (char& c : upper_bare)
        c = static_cast<char>(toupper(c));
    EXPECT_TRUE(ctfs_fingerprint_parse(upper_bare.c_str(), b));
    EXPECT_EQ(memcmp(a, b, sizeof a), 0);
    const std::string too_long = std::string(text) + "0";
    for (const char* bad : {"", "SHA256:", "SHA256:00", "MD5:00", too_long.c_str()})
        EXPECT_FALSE(ctfs_fingerprint_parse(bad, b)) << bad;
}

TEST_F(ProtocolPins, TheFileKeepsOtherServersAndReplacesOne) {
    uint8_t one[CTFS_FINGERPRINT_SIZE], two[CTFS_FINGERPRINT_SIZE], got[CTFS_FINGERPRINT_SIZE];
    memset(one, 0x11, sizeof one);
    memset(two, 0x22, sizeof two);
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "a", 1, one, got), CTFS_PIN_NONE);
    write_file(pins(), "# mine\nb.example:7070   SHA256:" + std::string(64, 'f') + "\ngarbage\n");
    ASSERT_EQ(ctfs_pin_store(pins().c_str(), "a.example", 7070, one), 0);
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "a.example", 7070, one, got), CTFS_PIN_MATCH);
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "a.example", 7071, one, got), CTFS_PIN_NONE);
    ASSERT_EQ(ctfs_pin_store(pins().c_str(), "a.example", 7070, two), 0);
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "a.example", 7070, one, got), CTFS_PIN_MISMATCH);
    EXPECT_EQ(memcmp(got, two, sizeof got), 0);
    uint8_t ff[CTFS_FINGERPRINT_SIZE];
    memset(ff, 0xff, sizeof ff);
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "b.example", 7070, ff, got), CTFS_PIN_MATCH);
    std::string text = slurp(pins());
    EXPECT_NE(text.find("# mine\n"), std::string::npos);
    EXPECT_NE(text.find("garbage\n"), std::string::npos);
    std::vector<std::string> seen;
    ASSERT_EQ(ctfs_pin_each(pins().c_str(),
                            [](void* ctx, const char* server, const uint8_t*) {
                                static_cast<std::vector<std::string>*>(ctx)->push_back(server);
                            },
                            &seen),
              0);
    EXPECT_EQ(seen, (std::vector<std::string>{"b.example:7070", "a.example:7070"}));
    if (!plat_is_windows)
        EXPECT_EQ(std::filesystem::status(pins()).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(ProtocolPins, TheFirstLogInPinsAndALaterOtherKeyGetsNothing) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    pin_to(pins());
    const std::vector<uint8_t> fp = test_fingerprint();
    const std::string server = "127.0.0.1:" + std::to_string(peer.port());
    ASSERT_EQ(mkdir(), 0);
    uint8_t got[CTFS_FINGERPRINT_SIZE];
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "127.0.0.1", peer.port(), fp.data(), got),
              CTFS_PIN_MATCH);
    EXPECT_NE(job_log().find("Pinned the key of the backup server " + server), std::string::npos);
    // The same key again: accepted.
    ctfs_drop_connection(s);
    ASSERT_EQ(mkdir(), 0);
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_FALSE(s->identity_changed);

    // Another key pinned for the server: nothing past the greeting.
    uint8_t other[CTFS_FINGERPRINT_SIZE];
    memset(other, 0xab, sizeof other);
    ASSERT_EQ(ctfs_pin_store(pins().c_str(), "127.0.0.1", peer.port(), other), 0);
    const size_t before = peer.requests().size();
    ctfs_drop_connection(s);
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_TRUE(s->identity_changed);
    EXPECT_EQ(std::string(s->identity_server), server);
    EXPECT_EQ(peer.connections(), 2); // no key exchange
    EXPECT_EQ(peer.requests().size(), before);
    // Not asked again after a pause: nothing there changes by waiting.
    EXPECT_EQ(count_of(job_log(), "Server identity changed"), 1u) << job_log();
    EXPECT_EQ(job_log().find("No backup server completed the connection"), std::string::npos);
    char seen[CTFS_FINGERPRINT_TEXT], pinned[CTFS_FINGERPRINT_TEXT];
    ctfs_fingerprint_text(fp.data(), seen);
    ctfs_fingerprint_text(other, pinned);
    EXPECT_NE(job_log().find("Server identity changed: " + server + " presented the key " + seen +
                             ", but the key pinned for it is " + pinned + "; not logging in"),
              std::string::npos);
    // The pin stays as it was.
    EXPECT_EQ(ctfs_pin_check(pins().c_str(), "127.0.0.1", peer.port(), other, got),
              CTFS_PIN_MATCH);
}

TEST_F(ProtocolPins, UnreadablePinsRefuseEveryServerAndCheckingAloneNeverPins) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    // A folder where the pin file should be cannot be read as one.
    std::filesystem::create_directories(pins());
    pin_to(pins());
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_EQ(peer.connections(), 0);
    EXPECT_NE(job_log().find("Cannot read the pinned server keys in '" + pins() + "'"),
              std::string::npos);
    std::filesystem::remove(pins());
    // Without pin_at_login (tavni-ctl's log-ins) the key is checked, not pinned.
    s->pin_at_login = false;
    ASSERT_EQ(mkdir(), 0);
    EXPECT_FALSE(std::filesystem::exists(pins()));
}
