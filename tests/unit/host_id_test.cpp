// Tests of the host id: stable digest, zero filling, field formats, and the
// drive list.
#include "backup/host_id.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
// Every byte after a field's terminator is zero.
void expect_zero_padded(const char* field, size_t size, const char* name) {
    size_t n = strnlen(field, size);
    ASSERT_LT(n, size) << name;
    for (size_t i = n; i < size; i++)
        ASSERT_EQ(field[i], 0) << name << " at " << i;
}
} // namespace

TEST(HostId, StableAndZeroFilled) {
    uint8_t a[20], b[20];
    host_id_compute(a);
    host_id_compute(b);
    EXPECT_EQ(memcmp(a, b, 20), 0);

    host_record r;
    memset(&r, 0xAB, sizeof r);
    host_record_fill(&r);
    for (int i = 4; i < 8; i++)
        EXPECT_EQ(r.memory[i], 0);
    expect_zero_padded(r.processor, sizeof r.processor, "processor");
    expect_zero_padded(r.adapter, sizeof r.adapter, "adapter");
    expect_zero_padded(r.volume_serial, sizeof r.volume_serial, "volume_serial");
    expect_zero_padded(r.product_id, sizeof r.product_id, "product_id");
    expect_zero_padded(r.hw_profile, sizeof r.hw_profile, "hw_profile");

    // The id is the SHA-1 of exactly this record.
    uint8_t d[20];
    unsigned int len = 0;
    EVP_Digest(&r, sizeof r, d, &len, EVP_sha1(), nullptr);
    EXPECT_EQ(memcmp(a, d, 20), 0);
}

// Sets (or, with null, removes) a variable of this process's environment.
static void set_env(const char* name, const char* value) {
#ifdef _WIN32
    // msvcrt has no setenv; "NAME=" removes the variable.
    _putenv((std::string(name) + "=" + (value ? value : "")).c_str());
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

TEST(HostId, ProcessorIdentifierComesFromTheEnvironment) {
    const char* old = getenv("PROCESSOR_IDENTIFIER");
    std::string saved = old ? old : "";
    set_env("PROCESSOR_IDENTIFIER", "x86 Family 6 Model 158");
    host_record r;
    host_record_fill(&r);
    EXPECT_STREQ(r.processor, "x86 Family 6 Model 158");
    uint8_t with[20], without[20];
    host_id_compute(with);
    set_env("PROCESSOR_IDENTIFIER", nullptr);
    host_record_fill(&r);
    EXPECT_STREQ(r.processor, "");
    host_id_compute(without);
    EXPECT_NE(memcmp(with, without, 20), 0);
    if (old) set_env("PROCESSOR_IDENTIFIER", saved.c_str());
}

TEST(HostId, FieldFormats) {
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    char text[40];
    host_format_adapter(mac, 6, text, sizeof text);
    EXPECT_STREQ(text, "00-1a-2b-3c-4d-5e");
    host_format_adapter(mac, 6, text, 9);
    EXPECT_STREQ(text, "00-1a-2b"); // cut at a whole byte
    host_format_adapter(mac, 0, text, sizeof text);
    EXPECT_STREQ(text, "");
    host_format_serial(0x1234ABCD, text, sizeof text);
    EXPECT_STREQ(text, "1234-ABCD");
    host_format_serial(0x0000000F, text, sizeof text);
    EXPECT_STREQ(text, "0000-000F");
    EXPECT_TRUE(host_is_floppy_root("A:\\"));
    EXPECT_TRUE(host_is_floppy_root("b:"));
    EXPECT_FALSE(host_is_floppy_root("C:\\"));
    EXPECT_FALSE(host_is_floppy_root("a:\\x"));
}

TEST(HostId, DriveListHoldsTheWindowsRoot) {
    blob_list* drives = drive_list_build();
    ASSERT_NE(drives, nullptr);
    ASSERT_GE(blob_list_count(drives), 1);
    bool found = false;
    for (int32_t i = 0; i < blob_list_count(drives); i++) {
        auto* d = static_cast<const drive_info*>(blob_list_get(drives, i));
        EXPECT_EQ(blob_list_get_len(drives, i), static_cast<int64_t>(sizeof(drive_info)));
        if (strcmp(d->root, windows_root()) == 0) {
            found = true;
            EXPECT_EQ(strlen(d->serial), 9u);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(windows_root(), windows_root()); // kept for the process
    blob_list_free(drives);
    host_record r;
    host_record_fill(&r);
    EXPECT_EQ(strlen(r.volume_serial), 9u);
}
