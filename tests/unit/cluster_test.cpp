// Cluster sizes: the volume root asked for, the rounding of sizes, and the
// size of a real volume.
#include "backup/cluster.h"

#include "support/local_tree.h"

#include <gtest/gtest.h>

#include <string>

TEST(Cluster, SizesOnDiskAndQueryRoots) {
    EXPECT_EQ(4096, size_on_disk(1, 4096));
    EXPECT_EQ(0, size_on_disk(0, 4096));
    EXPECT_EQ(8192, size_on_disk(8192, 4096));
    EXPECT_EQ(8193, size_on_disk(8193, 0));

    char out[64];
    cluster_query_root("c:\\data\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("c:\\", out);
    cluster_query_root("\\\\srv\\share\\dir\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("\\\\srv\\share\\", out);
    cluster_query_root("\\\\srv\\share", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("\\\\srv\\share\\", out);
    cluster_query_root("relative\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("", out);
}

TEST(Cluster, SizeOfARealVolume) {
    TempDir t;
    std::string sub = t.dir("a/b");
    EXPECT_GT(cluster_size(t.path.string().c_str()), 0u);
    EXPECT_EQ(cluster_size(t.path.string().c_str()), cluster_size(sub.c_str()));
}
