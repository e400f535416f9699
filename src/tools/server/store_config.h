// store_config.h - where a store keeps its catalog and its blocks.
//
// A store folder always holds the server's key. Its back ends are SQLite in
// DIR/catalog.db and block files below DIR/blocks unless DIR/store.conf names
// others: a PostgreSQL database and an S3 bucket that several serving
// processes (frontends) share. The file names places only; secrets come from
// the environment or from a credentials file it names:
//
//   catalog=postgresql://tavni@db.example:5432/tavni
//   blocks=s3://tavni-blocks?endpoint=https://s3.example:443&region=eu-1
//   credentials=/etc/tavni/s3.keys
//
// The PostgreSQL password comes from libpq's own sources (PGPASSWORD, the
// password file PGPASSFILE or ~/.pgpass). The S3 keys come from the
// credentials file (lines "access_key=..." and "secret_key=..."), or else
// from TAVNI_S3_ACCESS_KEY_ID and TAVNI_S3_SECRET_ACCESS_KEY, or else from
// AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY.
#pragma once

#include <string>

struct srv_backends {
    std::string catalog;     // empty: SQLite in the folder; else a postgresql:// address
    std::string blocks;      // empty: files in the folder; else an s3:// location
    std::string credentials; // empty: the S3 keys come from the environment
};

// An S3 location and its keys, as the block store's client takes them.
struct s3_location {
    std::string bucket;
    std::string endpoint; // http:// or https:// with host and port
    std::string region;
    std::string access_key;
    std::string secret_key;
};

// Checks the addresses as init takes them: a catalog must be a postgresql://
// (or postgres://) address without a password in it, blocks an s3:// location
// that parses, credentials a path. False with *err saying what to change.
bool srv_backends_check(const srv_backends& be, std::string* err);

// DIR/store.conf: written owner-only by init (only when a back end is not
// the default), read by every verb. Reading a folder without the file gives
// the defaults. False with *err on a file that cannot be written or read, or
// that holds a line it does not know.
bool srv_backends_write(const std::string& dir, const srv_backends& be, std::string* err);
bool srv_backends_read(const std::string& dir, srv_backends* be, std::string* err);

// s3://BUCKET?endpoint=URL&region=NAME (values may be %-encoded; region
// defaults to us-east-1). Keys are not taken from the location: an address
// that carries one is refused. False with *err.
bool srv_s3_location_parse(const std::string& url, s3_location* out, std::string* err);
// Fills the keys of *loc from the credentials file (when given) or the
// environment. False with *err when none are found or the file is unusable.
bool srv_s3_credentials_load(const std::string& file, s3_location* loc, std::string* err);
