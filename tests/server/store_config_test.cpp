// store_config_test.cpp - the back ends a store names: addresses as init
// takes them (no secrets on a command line), store.conf as every verb reads
// it, the S3 keys' sources, and an init that fails leaving nothing behind.
#include "tools/server/server.h"
#include "tools/server/store_config.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

bool refused(const srv_backends& be, const std::string& words) {
    std::string err;
    if (srv_backends_check(be, &err)) return false;
    EXPECT_NE(err.find(words), std::string::npos) << err;
    return true;
}

srv_backends with(const std::string& catalog, const std::string& blocks,
                  const std::string& credentials = "") {
    srv_backends be;
    be.catalog = catalog;
    be.blocks = blocks;
    be.credentials = credentials;
    return be;
}

} // namespace

TEST(StoreConfig, LocationsParseAndSecretsOrNonsenseAreRefused) {
    s3_location loc;
    std::string err;
    ASSERT_TRUE(srv_s3_location_parse(
        "s3://tavni-blocks?endpoint=http%3A%2F%2F127.0.0.1%3A7480&region=eu-1", &loc, &err))
        << err;
    EXPECT_EQ(loc.bucket, "tavni-blocks");
    EXPECT_EQ(loc.endpoint, "http://127.0.0.1:7480");
    EXPECT_EQ(loc.region, "eu-1");
    ASSERT_TRUE(srv_s3_location_parse("s3://b.c-d?endpoint=https://s3.example:443", &loc, &err));
    EXPECT_EQ(loc.region, "us-east-1");
    EXPECT_TRUE(loc.access_key.empty());

    EXPECT_TRUE(refused(with("", "http://x/b"), "s3://"));
    EXPECT_TRUE(refused(with("", "s3://Bad_Name?endpoint=http://h:1"), "bucket name"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket"), "endpoint="));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=ftp://h:1"), "endpoint="));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://u@h:1"), "endpoint="));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://h:1&secret_key=x"),
                        "credentials file"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://h:1&AccessKey=x"),
                        "credentials file"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://h:1&colour=red"),
                        "unknown parameter"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http%3Gh"), "decodes"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://h:1%"), "decodes"));
    EXPECT_TRUE(refused(with("", "s3://ok-bucket?endpoint=http://h:1&region=a/b"), "region"));

    EXPECT_TRUE(srv_backends_check(with("postgresql://tavni@db:5432/tavni", ""), &err)) << err;
    EXPECT_TRUE(srv_backends_check(with("postgres://db/tavni?sslmode=require", ""), &err));
    EXPECT_TRUE(refused(with("postgresql://tavni:hunter2@db/tavni", ""), "PGPASSFILE"));
    EXPECT_TRUE(refused(with("postgresql://db/tavni?password=hunter2", ""), "PGPASSFILE"));
    EXPECT_TRUE(refused(with("mysql://db/tavni", ""), "postgresql://"));
    EXPECT_TRUE(refused(with("postgresql://db/ta vni", ""), "blanks"));
    EXPECT_TRUE(refused(with("", "", "/etc/keys"), "S3 blocks"));
}

TEST(StoreConfig, TheFileRoundTripsAndAStrangeLineStopsTheStore) {
    const fs::path dir = unique_temp_path("conf");
    fs::create_directories(dir);
    srv_backends be, back;
    std::string err;
    // The defaults write nothing and read back as defaults.
    ASSERT_TRUE(srv_backends_write(dir.string(), be, &err)) << err;
    EXPECT_FALSE(fs::exists(dir / "store.conf"));
    ASSERT_TRUE(srv_backends_read(dir.string(), &back, &err));
    EXPECT_TRUE(back.catalog.empty() && back.blocks.empty());

    be = with("postgresql://tavni@127.0.0.1:5432/tavni",
              "s3://tavni-blocks?endpoint=http://127.0.0.1:7480", "/etc/tavni/s3.keys");
    ASSERT_TRUE(srv_backends_write(dir.string(), be, &err)) << err;
    EXPECT_FALSE(srv_backends_write(dir.string(), be, &err)) << "replaced an existing file";
    EXPECT_EQ(fs::status(dir / "store.conf").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(srv_backends_read(dir.string(), &back, &err)) << err;
    EXPECT_EQ(back.catalog, be.catalog);
    EXPECT_EQ(back.blocks, be.blocks);
    EXPECT_EQ(back.credentials, be.credentials);

    // A misspelt name or a line that is no setting is named, and the store
    // does not open with half of its configuration.
    std::ofstream(dir / "store.conf", std::ios::app) << "blocs=s3://x\n";
    EXPECT_FALSE(srv_backends_read(dir.string(), &back, &err));
    EXPECT_NE(err.find("line 5: unknown name \"blocs\""), std::string::npos) << err;
    std::ofstream(dir / "store.conf") << "catalog\n";
    EXPECT_FALSE(srv_backends_read(dir.string(), &back, &err));
    EXPECT_NE(err.find("name=value"), std::string::npos) << err;
    std::ofstream(dir / "store.conf") << "catalog=postgresql://u:pw@h/db\n";
    EXPECT_FALSE(srv_backends_read(dir.string(), &back, &err));
    std::ofstream(dir / "store.conf") << "catalog=postgresql://h/" << std::string(5000, 'd') << "\n";
    EXPECT_FALSE(srv_backends_read(dir.string(), &back, &err));
    EXPECT_NE(err.find("too long"), std::string::npos) << err;
    fs::remove_all(dir);
}

TEST(StoreConfig, KeysComeFromTheFileOrElseTheEnvironment) {
    const fs::path dir = unique_temp_path("keys");
    fs::create_directories(dir);
    const std::string file = (dir / "s3.keys").string();
    s3_location loc;
    std::string err;
    std::ofstream(file) << "# keys\naccess_key = AK1\nsecret_key=SK/1+x\n";
    ASSERT_TRUE(srv_s3_credentials_load(file, &loc, &err)) << err;
    EXPECT_EQ(loc.access_key, "AK1");
    EXPECT_EQ(loc.secret_key, "SK/1+x");
    std::ofstream(file) << "access_key=AK1\n";
    EXPECT_FALSE(srv_s3_credentials_load(file, &loc, &err));
    EXPECT_NE(err.find("both"), std::string::npos) << err;
    std::ofstream(file) << "access_key=AK1\nsecret=SK\n";
    EXPECT_FALSE(srv_s3_credentials_load(file, &loc, &err));
    EXPECT_FALSE(srv_s3_credentials_load((dir / "none").string(), &loc, &err));

    // The environment: ours before the common names, both halves needed.
    unsetenv("TAVNI_S3_ACCESS_KEY_ID");
    unsetenv("TAVNI_S3_SECRET_ACCESS_KEY");
    unsetenv("AWS_ACCESS_KEY_ID");
    unsetenv("AWS_SECRET_ACCESS_KEY");
    EXPECT_FALSE(srv_s3_credentials_load("", &loc, &err));
    EXPECT_NE(err.find("TAVNI_S3_ACCESS_KEY_ID"), std::string::npos) << err;
    setenv("AWS_ACCESS_KEY_ID", "AWS1", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "AWS2", 1);
    setenv("TAVNI_S3_ACCESS_KEY_ID", "T1", 1);
    ASSERT_TRUE(srv_s3_credentials_load("", &loc, &err)) << err;
    EXPECT_EQ(loc.access_key, "AWS1") << "half of our pair was taken";
    setenv("TAVNI_S3_SECRET_ACCESS_KEY", "T2", 1);
    ASSERT_TRUE(srv_s3_credentials_load("", &loc, &err)) << err;
    EXPECT_EQ(loc.access_key, "T1");
    EXPECT_EQ(loc.secret_key, "T2");
    for (const char* name : {"TAVNI_S3_ACCESS_KEY_ID", "TAVNI_S3_SECRET_ACCESS_KEY",
                             "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"})
        unsetenv(name);
    fs::remove_all(dir);
}

// A shared back end that cannot be reached, or keys that are missing, fail
// init before the folder, the key or the configuration exist: the same
// command works once the cause is mended.
TEST(StoreConfig, AnInitThatCannotReachItsBackEndsLeavesNothing) {
    const fs::path dir = unique_temp_path("init-fail");
    fs::remove_all(dir);
    std::string err;
    EXPECT_FALSE(srv_store_init(dir.string(), with("postgresql://tavni@127.0.0.1:1/none", ""), &err));
    EXPECT_NE(err.find("postgresql://tavni@127.0.0.1:1/none"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir));
    unsetenv("TAVNI_S3_ACCESS_KEY_ID");
    unsetenv("AWS_ACCESS_KEY_ID");
    EXPECT_FALSE(srv_store_init(dir.string(), with("", "s3://tavni-b?endpoint=http://127.0.0.1:1"),
                                &err));
    EXPECT_NE(err.find("no S3 keys"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(srv_store_init(dir.string(), with("sqlite", ""), &err));
    EXPECT_FALSE(fs::exists(dir));

    // The default still makes a store, and a store.conf it cannot read stops
    // every verb with the reason.
    ASSERT_TRUE(srv_store_init(dir.string(), srv_backends(), &err)) << err;
    EXPECT_FALSE(fs::exists(dir / "store.conf"));
    std::ofstream(dir / "store.conf") << "catalg=postgresql://h/db\n";
    EXPECT_EQ(srv_store_open(dir.string(), false, &err), nullptr);
    EXPECT_NE(err.find("unknown name \"catalg\""), std::string::npos) << err;
    fs::remove_all(dir);
}
