// s3_client.cpp - signature V4 and the few S3 requests of the block store,
// on libcurl (transfers, connection reuse) and OpenSSL (SHA-256, HMAC).
//
// Each request is signed afresh at each try (the date is part of the
// signature). The pool keeps idle curl handles, whose live connections curl
// keeps open between requests; a handle is used by one thread at a time.
#include "tools/server/s3_client.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

// ---- signature V4 -----------------------------------------------------------------

std::string s3_uri_encode(const std::string& s, bool keep_slash) {
    static const char upper[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/');
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += upper[c >> 4];
            out += upper[c & 15];
        }
    }
    return out;
}

std::string s3_sha256_hex(const uint8_t* p, size_t n) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(p, n, md, &len, EVP_sha256(), nullptr) != 1) return std::string();
    return hex_lower(md, len);
}

static std::string sha256_hex(const std::string& s) {
    return s3_sha256_hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

static std::string hmac_sha256(const std::string& key, const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), md, &len))
        return std::string();
    return std::string(reinterpret_cast<char*>(md), len);
}

// A header value as signed: no blanks at either end, inner runs made one.
static std::string trim_value(const std::string& v) {
    std::string out;
    bool blank = false;
    for (char c : v) {
        if (c == ' ' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string s3_canonical_request(const s3_sign_input& in, std::string* signed_headers) {
    std::vector<std::pair<std::string, std::string>> hs;
    for (const auto& h : in.headers) {
        std::string name = h.first;
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        hs.emplace_back(name, trim_value(h.second));
    }
    std::sort(hs.begin(), hs.end());
    std::string canon = in.method + "\n" + in.path + "\n" + in.query + "\n";
    signed_headers->clear();
    for (const auto& h : hs) {
        canon += h.first + ":" + h.second + "\n";
        if (!signed_headers->empty()) *signed_headers += ';';
        *signed_headers += h.first;
    }
    canon += "\n" + *signed_headers + "\n" + in.payload_sha256;
    return canon;
}

std::string s3_authorization(const s3_config& cfg, const s3_sign_input& in) {
    std::string signed_headers;
    std::string canon = s3_canonical_request(in, &signed_headers);
    std::string day = in.amz_date.substr(0, 8);
    std::string scope = day + "/" + cfg.region + "/s3/aws4_request";
    std::string to_sign =
        "AWS4-HMAC-SHA256\n" + in.amz_date + "\n" + scope + "\n" + sha256_hex(canon);
    std::string k = hmac_sha256("AWS4" + cfg.secret_key, day);
    k = hmac_sha256(k, cfg.region);
    k = hmac_sha256(k, "s3");
    k = hmac_sha256(k, "aws4_request");
    std::string sig = hmac_sha256(k, to_sign);
    return "AWS4-HMAC-SHA256 Credential=" + cfg.access_key + "/" + scope +
           ",SignedHeaders=" + signed_headers + ",Signature=" + hex_lower(sig.data(), sig.size());
}

// ---- the client ---------------------------------------------------------------------

struct s3_client {
    s3_config cfg;
    s3_limits lim;
    std::string base;      // scheme://authority
    std::string authority; // host[:port] as in the endpoint: the signed Host
    std::mutex mu;
    std::vector<CURL*> idle;
};

namespace {

std::once_flag g_curl_init;

// One request as the block store asks it.
struct s3_call {
    const char* method;
    std::string key; // empty: the bucket itself
    const uint8_t* body = nullptr;
    size_t body_len = 0;
    std::string payload_sha256;
    uint64_t cap = 1 << 20; // largest answer body taken
    std::string range;      // a Range header's value, or none
};

struct s3_reply {
    long status = 0;
    std::vector<uint8_t> body;
    int64_t length = -1; // Content-Length, when given
};

struct upload_src {
    const uint8_t* p;
    size_t n;
    size_t off;
};

struct download_sink {
    CURL* h;
    std::vector<uint8_t>* out;
    uint64_t cap; // for a 2xx answer; an error's text is cut at kErrorCap
    bool too_large;
};

const uint64_t kErrorCap = 64 * 1024;

size_t read_cb(char* buf, size_t size, size_t nitems, void* ud) {
    upload_src* u = static_cast<upload_src*>(ud);
    size_t want = size * nitems;
    size_t left = u->n - u->off;
    size_t n = std::min(want, left);
    if (n) std::memcpy(buf, u->p + u->off, n);
    u->off += n;
    return n;
}

// curl rewinds an upload it must send again on a fresh connection.
int seek_cb(void* ud, curl_off_t offset, int origin) {
    upload_src* u = static_cast<upload_src*>(ud);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > u->n)
        return CURL_SEEKFUNC_FAIL;
    u->off = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t write_cb(char* p, size_t size, size_t nmemb, void* ud) {
    download_sink* d = static_cast<download_sink*>(ud);
    size_t n = size * nmemb;
    long status = 0;
    curl_easy_getinfo(d->h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        size_t room = d->out->size() < kErrorCap ? kErrorCap - d->out->size() : 0;
        d->out->insert(d->out->end(), p, p + std::min(n, room));
        return n;
    }
    if (d->out->size() + n > d->cap) {
        d->too_large = true;
        return 0; // curl fails the transfer
    }
    d->out->insert(d->out->end(), p, p + n);
    return n;
}

std::string amz_now() {
    plat_systime t;
    plat_utc_time(&t);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u%02u%02uT%02u%02u%02uZ", t.year % 10000u, t.month % 100u,
                  t.day % 100u, t.hour % 100u, t.minute % 100u, t.second % 100u);
    return buf;
}

CURL* borrow(s3_client* c) {
    {
        std::lock_guard<std::mutex> g(c->mu);
        if (!c->idle.empty()) {
            CURL* h = c->idle.back();
            c->idle.pop_back();
            curl_easy_reset(h); // keeps the connection cache
            return h;
        }
    }
    return curl_easy_init();
}

void give_back(s3_client* c, CURL* h) {
    std::lock_guard<std::mutex> g(c->mu);
    c->idle.push_back(h);
}

bool transient_curl_error(CURLcode rc) {
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
        return true;
    default:
        return false;
    }
}

// The <Code> of an S3 error answer, or empty.
std::string error_code(const std::vector<uint8_t>& body) {
    std::string s(body.begin(), body.end());
    size_t a = s.find("<Code>");
    size_t b = s.find("</Code>");
    if (a == std::string::npos || b == std::string::npos || b < a + 6 || b - a > 100) return "";
    return s.substr(a + 6, b - a - 6);
}

// One try of a call. Returns the curl result; the reply holds the answer.
CURLcode try_once(s3_client* c, CURL* h, const s3_call& call, s3_reply* r, bool* too_large) {
    std::string path = "/" + s3_uri_encode(c->cfg.bucket, false);
    if (!call.key.empty()) path += "/" + s3_uri_encode(call.key, true);
    s3_sign_input in;
    in.method = call.method;
    in.path = path;
    in.payload_sha256 = call.payload_sha256;
    in.amz_date = amz_now();
    in.headers = {{"host", c->authority},
                  {"x-amz-content-sha256", in.payload_sha256},
                  {"x-amz-date", in.amz_date}};
    std::string auth = s3_authorization(c->cfg, in);

    curl_slist* raw = nullptr;
    const std::string lines[] = {"Host: " + c->authority,
                                 "x-amz-content-sha256: " + in.payload_sha256,
                                 "x-amz-date: " + in.amz_date, "Authorization: " + auth,
                                 // no "100-continue" round trip before a body
                                 "Expect:", "Content-Type:"};
    for (const std::string& l : lines) {
        curl_slist* next = curl_slist_append(raw, l.c_str());
        if (!next) {
            curl_slist_free_all(raw);
            return CURLE_OUT_OF_MEMORY;
        }
        raw = next;
    }
    if (!call.range.empty()) {
        curl_slist* next = curl_slist_append(raw, ("Range: " + call.range).c_str());
        if (!next) {
            curl_slist_free_all(raw);
            return CURLE_OUT_OF_MEMORY;
        }
        raw = next;
    }
    owner<curl_slist, curl_slist_free_all> headers(raw);

    r->status = 0;
    r->body.clear();
    r->length = -1;
    std::string url = c->base + path;
    upload_src up{call.body, call.body_len, 0};
    download_sink down{h, &r->body, call.cap, false};
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // The path is sent as signed: no "." or ".." segments taken out.
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, c->lim.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, c->lim.timeout_ms);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_cb);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &down);
    if (std::strcmp(call.method, "PUT") == 0) {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_cb);
        curl_easy_setopt(h, CURLOPT_READDATA, &up);
        curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seek_cb);
        curl_easy_setopt(h, CURLOPT_SEEKDATA, &up);
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(call.body_len));
    } else if (std::strcmp(call.method, "HEAD") == 0) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (std::strcmp(call.method, "GET") != 0) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, call.method);
    }
    CURLcode rc = curl_easy_perform(h);
    *too_large = down.too_large;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r->status);
    curl_off_t cl = -1;
    if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &cl) == CURLE_OK) r->length = cl;
    return rc;
}

std::string status_text(const s3_call& call, const s3_reply& r) {
    std::string code = error_code(r.body);
    return std::string(call.method) + " " + call.key + ": HTTP " + std::to_string(r.status) +
           (code.empty() ? "" : " " + code);
}

// Runs a call with the retry rule. 0 with the reply of the last try when an
// answer came that is not retried (any status); -1 with *err when every try
// failed or the answer was too large.
int perform(s3_client* c, const s3_call& call, s3_reply* r, std::string* err) {
    CURL* h = borrow(c);
    if (!h) {
        *err = "cannot make a transfer handle";
        return -1;
    }
    int attempts = std::max(1, c->lim.attempts);
    uint32_t wait = c->lim.backoff_ms;
    int result = -1;
    for (int i = 0; i < attempts; i++) {
        if (i > 0) {
            plat_sleep_ms(wait);
            wait = std::min(c->lim.backoff_max_ms, wait * 2);
        }
        bool too_large = false;
        CURLcode rc = try_once(c, h, call, r, &too_large);
        if (too_large) {
            *err = std::string(call.method) + " " + call.key + ": the answer is larger than " +
                   std::to_string(call.cap) + " bytes";
            break;
        }
        if (rc != CURLE_OK) {
            *err = std::string(call.method) + " " + call.key + ": " + curl_easy_strerror(rc);
            if (!transient_curl_error(rc)) break;
            continue;
        }
        if (r->status >= 500 || r->status == 429) {
            *err = status_text(call, *r);
            continue;
        }
        result = 0;
        break;
    }
    give_back(c, h);
    if (result == 0)
        err->clear();
    else
        *err += " (after " + std::to_string(attempts) + " tries at most)";
    return result;
}

} // namespace

s3_client* s3_client_new(const s3_config& cfg, const s3_limits& limits, std::string* err) {
    std::string ep = cfg.endpoint;
    while (!ep.empty() && ep.back() == '/')
        ep.pop_back();
    size_t sep = ep.find("://");
    if (sep == std::string::npos ||
        (ep.compare(0, sep, "http") != 0 && ep.compare(0, sep, "https") != 0)) {
        *err = "the S3 endpoint must start with http:// or https://: " + cfg.endpoint;
        return nullptr;
    }
    std::string authority = ep.substr(sep + 3);
    if (authority.empty() || authority.find_first_of("/?#@ ") != std::string::npos) {
        *err = "the S3 endpoint must be scheme://host[:port] only: " + cfg.endpoint;
        return nullptr;
    }
    if (cfg.bucket.empty() || cfg.bucket.size() > 255 || cfg.region.empty() ||
        cfg.access_key.empty() || cfg.secret_key.empty()) {
        *err = "the S3 bucket, region and credentials must all be given";
        return nullptr;
    }
    std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    s3_client* c = new s3_client();
    c->cfg = cfg;
    c->lim = limits;
    c->base = ep;
    c->authority = authority;
    return c;
}

void s3_client_free(s3_client* c) {
    if (!c) return;
    for (CURL* h : c->idle)
        curl_easy_cleanup(h);
    delete c;
}

int s3_put(s3_client* c, const std::string& key, const uint8_t* p, size_t n,
           const std::string& payload_sha256, std::string* err) {
    s3_call call;
    call.method = "PUT";
    call.key = key;
    call.body = p;
    call.body_len = n;
    call.payload_sha256 = payload_sha256.empty() ? s3_sha256_hex(p, n) : payload_sha256;
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if (r.status < 200 || r.status > 299) {
        *err = status_text(call, r);
        return S3_FAIL;
    }
    return S3_OK;
}

int s3_get(s3_client* c, const std::string& key, uint64_t max_len, std::vector<uint8_t>* out,
           std::string* err) {
    out->clear();
    s3_call call;
    call.method = "GET";
    call.key = key;
    call.payload_sha256 = s3_sha256_hex(nullptr, 0);
    call.cap = std::min(max_len, c->lim.get_cap);
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if (r.status == 404) return S3_NOT_FOUND;
    if (r.status != 200) {
        *err = status_text(call, r);
        return S3_FAIL;
    }
    if (r.length >= 0 && static_cast<uint64_t>(r.length) != r.body.size()) {
        *err = "GET " + key + ": " + std::to_string(r.body.size()) + " bytes where " +
               std::to_string(r.length) + " were announced";
        return S3_FAIL;
    }
    out->swap(r.body);
    return S3_OK;
}

int s3_get_range(s3_client* c, const std::string& key, uint64_t offset, uint64_t len,
                 std::vector<uint8_t>* out, std::string* err) {
    out->clear();
    if (len == 0 || len > c->lim.get_cap || offset > UINT64_MAX - len) {
        *err = "GET " + key + ": a range out of bounds";
        return S3_FAIL;
    }
    s3_call call;
    call.method = "GET";
    call.key = key;
    call.payload_sha256 = s3_sha256_hex(nullptr, 0);
    call.cap = len;
    call.range = "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + len - 1);
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if (r.status == 404) return S3_NOT_FOUND;
    if (r.status == 416) {
        *err = "GET " + key + " " + call.range + ": past the object's end";
        return S3_SHORT;
    }
    // 206 only: a whole object in place of the range is not these bytes.
    if (r.status != 206) {
        *err = status_text(call, r);
        return S3_FAIL;
    }
    if (r.body.size() != len) {
        *err = "GET " + key + " " + call.range + ": " + std::to_string(r.body.size()) + " bytes";
        return S3_FAIL;
    }
    out->swap(r.body);
    return S3_OK;
}

int s3_head(s3_client* c, const std::string& key, uint64_t* len, std::string* err) {
    s3_call call;
    call.method = "HEAD";
    call.key = key;
    call.payload_sha256 = s3_sha256_hex(nullptr, 0);
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if (r.status == 404) return S3_NOT_FOUND;
    if (r.status == 200 && r.length < 0 && key.empty()) r.length = 0; // the bucket itself
    if (r.status != 200 || r.length < 0) {
        *err = r.status == 200 ? "HEAD " + key + ": no length in the answer" : status_text(call, r);
        return S3_FAIL;
    }
    *len = static_cast<uint64_t>(r.length);
    return S3_OK;
}

int s3_delete(s3_client* c, const std::string& key, std::string* err) {
    s3_call call;
    call.method = "DELETE";
    call.key = key;
    call.payload_sha256 = s3_sha256_hex(nullptr, 0);
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if ((r.status >= 200 && r.status <= 299) || r.status == 404) return S3_OK;
    *err = status_text(call, r);
    return S3_FAIL;
}

int s3_bucket_create(s3_client* c, std::string* err) {
    s3_call call;
    call.method = "PUT";
    call.payload_sha256 = s3_sha256_hex(nullptr, 0);
    s3_reply r;
    if (perform(c, call, &r, err) != 0) return S3_FAIL;
    if (r.status == 200 || (r.status == 409 && error_code(r.body) == "BucketAlreadyOwnedByYou"))
        return S3_OK;
    *err = status_text(call, r);
    return S3_FAIL;
}
