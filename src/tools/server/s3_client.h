// s3_client.h - a small client for an S3-compatible object store: path-style
// requests signed with signature V4, on libcurl and OpenSSL.
//
// It does what the server's block store needs and nothing more: PUT, GET,
// HEAD and DELETE of one object, and making a bucket. Every request carries
// x-amz-content-sha256. Transient failures (connection errors, time-outs,
// 5xx, 429) are retried a bounded number of times with exponential back-off;
// any other answer is final. A client is safe from several threads: each
// request borrows a curl handle from a small pool, so connections are reused.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct s3_config {
    std::string endpoint; // http(s)://host[:port], no path
    std::string region;
    std::string bucket;
    std::string access_key;
    std::string secret_key;
};

// ---- signature V4 (pure functions, no network) --------------------------------

// What a request is signed over. path is the canonical URI, already encoded
// (s3_uri_encode); query the canonical query string (sorted, encoded) or
// empty; headers with any case of names (host among them), values as sent.
struct s3_sign_input {
    std::string method;
    std::string path;
    std::string query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string payload_sha256; // lower-case hex, or "UNSIGNED-PAYLOAD"
    std::string amz_date;       // YYYYMMDDTHHMMSSZ
};

// Percent-encodes every byte but the unreserved ones (A-Z a-z 0-9 - . _ ~),
// and '/' too unless keep_slash. Upper-case hex digits.
std::string s3_uri_encode(const std::string& s, bool keep_slash);
// Lower-case hex SHA-256 of n bytes.
std::string s3_sha256_hex(const uint8_t* p, size_t n);
// The canonical request; *signed_headers gets the names joined with ';'.
std::string s3_canonical_request(const s3_sign_input& in, std::string* signed_headers);
// The value of the Authorization header for the "s3" service.
std::string s3_authorization(const s3_config& cfg, const s3_sign_input& in);

// ---- requests -------------------------------------------------------------------

struct s3_limits {
    int attempts = 5;                               // tries of one request, the first included
    uint32_t backoff_ms = 100;                      // before the second try; doubles each time
    uint32_t backoff_max_ms = 5000;                 // the longest wait between two tries
    long connect_timeout_ms = 5000;                 // to open a connection
    long timeout_ms = 120000;                       // one whole try
    uint64_t get_cap = (1ull << 31) + (1ull << 26); // largest object a GET accepts
};

enum s3_result {
    S3_OK = 0,
    S3_FAIL = -1,
    S3_NOT_FOUND = 1,
    S3_SHORT = 2, // s3_get_range: the object ends before the range does
};

struct s3_client;

// A client for cfg; null with *err set when the endpoint cannot be used.
s3_client* s3_client_new(const s3_config& cfg, const s3_limits& limits, std::string* err);
void s3_client_free(s3_client* c);

// Stores n bytes under key; payload_sha256 is their hex SHA-256 (computed
// when empty). S3_OK only when the store acknowledged the object (2xx).
int s3_put(s3_client* c, const std::string& key, const uint8_t* p, size_t n,
           const std::string& payload_sha256, std::string* err);
// Reads an object. S3_NOT_FOUND on 404; S3_FAIL when it is larger than
// max_len (or the client's cap) or shorter than its announced length.
int s3_get(s3_client* c, const std::string& key, uint64_t max_len, std::vector<uint8_t>* out,
           std::string* err);
// Reads len bytes of an object from offset. S3_NOT_FOUND on 404; S3_SHORT
// when the object ends before the range starts (416); S3_FAIL unless exactly
// those bytes came back.
int s3_get_range(s3_client* c, const std::string& key, uint64_t offset, uint64_t len,
                 std::vector<uint8_t>* out, std::string* err);
// Whether an object exists, and its length: S3_OK, S3_NOT_FOUND, S3_FAIL.
int s3_head(s3_client* c, const std::string& key, uint64_t* len, std::string* err);
// Deletes an object; one that is not there counts as deleted. S3_OK / S3_FAIL.
int s3_delete(s3_client* c, const std::string& key, std::string* err);
// Makes the bucket; one the caller already owns counts as made. S3_OK /
// S3_FAIL.
int s3_bucket_create(s3_client* c, std::string* err);
