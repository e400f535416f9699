// The system's version codes, and the last system error and registry reads
// as errno.
#include "backup/os_error.h"
#include "backup/os_version.h"
#include "backup/registry.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(OsVersion, CodesAndFamily) {
    EXPECT_EQ(1, os_version_code_for(4, 10));
    EXPECT_EQ(2, os_version_code_for(4, 90));
    EXPECT_EQ(3, os_version_code_for(4, 0));
    EXPECT_EQ(4, os_version_code_for(5, 0));
    EXPECT_EQ(5, os_version_code_for(5, 1));
    EXPECT_EQ(6, os_version_code_for(5, 2));
    EXPECT_EQ(0, os_version_code_for(6, 1));
    EXPECT_EQ(2, platform_family());
}

TEST(OsErrors, LastErrorAndRegistry) {
    if (plat_is_windows) GTEST_SKIP();
    plat_set_last_error(ENOTDIR); // on Linux the last error is errno itself
    errno_from_last_error();
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ(ENOTDIR, last_os_error_number());
    char buf[16];
    EXPECT_EQ(-1, registry_read_string("SOFTWARE\\X", "ProductId", buf, sizeof buf));
    EXPECT_EQ(ENOENT, errno);
}
