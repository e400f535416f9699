// The file security record of this platform, read from a real file, and its
// serialised form.
#include "backup/security_record.h"

#include "platform/platform.h"
#include "support/local_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

TEST(SecurityRecord, RecordOfThisPlatform) {
    TempDir t;
    std::string f = t.file("s.txt");
    fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    security_record* rec = security_read(f.c_str());
    ASSERT_NE(nullptr, rec);
    if (!plat_is_windows) {
        EXPECT_EQ(4, rec->kind);
        EXPECT_EQ(17, security_size(rec));
        uint8_t out[17];
        EXPECT_EQ(-1, security_serialise(rec, out, 16));
        ASSERT_EQ(0, security_serialise(rec, out, sizeof out));
        EXPECT_EQ(4, out[0]);
        EXPECT_EQ(12, out[1]);
        EXPECT_EQ(0, out[2] | out[3] | out[4]);
        uint32_t mode =
            out[13] | out[14] << 8 | out[15] << 16 | static_cast<uint32_t>(out[16]) << 24;
        EXPECT_EQ(0100640u, mode);
    }
    security_free(rec);
    EXPECT_EQ(-1, security_size(nullptr));
    EXPECT_EQ(-1, security_serialise(nullptr, nullptr, 0));
    errno = 0;
    EXPECT_EQ(nullptr, security_read(""));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, security_read((t.path / "missing").string().c_str()));
    EXPECT_EQ(ENOENT, errno);
    security_record attr = {2, 0x21, nullptr};
    uint8_t head[5];
    EXPECT_EQ(5, security_size(&attr));
    ASSERT_EQ(0, security_serialise(&attr, head, sizeof head));
    EXPECT_EQ(2, head[0]);
    EXPECT_EQ(0x21, head[1]);
}
