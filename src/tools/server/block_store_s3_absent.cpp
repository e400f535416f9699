// block_store_s3_absent.cpp - the S3 block store of a build without libcurl:
// every opening fails with a sentence that says so.
#include "tools/server/store.h"

static const char kNoS3[] = "this tavni-server was built without S3 support";

block_store block_store_s3(const s3_config&, const catalog*, std::string* err) {
    *err = kNoS3;
    return block_store{nullptr, nullptr};
}

bool block_store_s3_make_bucket(const s3_config&, std::string* err) {
    *err = kNoS3;
    return false;
}
