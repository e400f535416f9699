// The platform's errors read as C errno values on both back ends: a failed
// call's system code, translated, names the failure as the C library would.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

TEST(PlatformErrors, FailedCallsTranslateToTheirErrno) {
    fs::path base =
        fs::temp_directory_path() / ("tavni-platerr-" + std::to_string(plat_process_id()));
    fs::remove_all(base);
    ASSERT_TRUE(fs::create_directories(base));

    plat_file_info info;
    std::string missing = (base / "missing").string();
    EXPECT_EQ(nullptr, plat_dir_open(missing.c_str(), &info));
    EXPECT_EQ(ENOENT, plat_errno_for_error(plat_last_error()));

    EXPECT_NE(0, plat_mkdir(base.string().c_str(), false));
    EXPECT_EQ(EEXIST, plat_errno_for_error(plat_last_error()));

    fs::create_directories(base / "full" / "inner");
    EXPECT_NE(0, plat_rmdir((base / "full").string().c_str()));
    EXPECT_EQ(ENOTEMPTY, plat_errno_for_error(plat_last_error()));
    fs::remove_all(base);
}

TEST(PlatformErrors, LinuxCodesAreAlreadyErrno) {
    if (plat_is_windows) GTEST_SKIP();
    for (int e : {0, EPERM, ENOENT, EACCES, ENOTDIR, ENOTEMPTY, ENOSPC})
        EXPECT_EQ(e, plat_errno_for_error(e));
}
