// template_expand.cpp - libFuzzer target for report templates: the bytes of a
// template file go through loading (CR removal, size rules) and the token
// scan, with a small body limit so that the growth and overflow paths run.
#include "report/mail.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<char> tmpl(REPORT_TEMPLATE_BUF);
    // The first byte picks the format and the body limit; the rest is the file.
    bool html = size > 0 && (data[0] & 1);
    size_t limit = size > 0 && (data[0] & 2) ? 64 : REPORT_BODY_MAX;
    const uint8_t* file = size > 0 ? data + 1 : data;
    size_t file_size = size > 0 ? size - 1 : 0;

    // A copy of exactly the file's bytes: any read past them is caught.
    std::vector<char> bytes(file, file + file_size);
    size_t len = report_template_from_bytes(tmpl.data(), true, bytes.data(), bytes.size());
    if (len >= REPORT_TEMPLATE_BUF || strlen(tmpl.data()) != len) __builtin_trap();

    blob_list* errors = blob_list_new(1, 16, nullptr);
    blob_list_append_text(errors, "C:\\data\\file.txt");
    blob_list_append_text(errors, "Permission denied");
    job_report r{};
    r.job_name = "job";
    r.account_name = "account";
    r.user_name = "user";
    r.destination = "/x/y";
    r.errors = size > 0 && (data[0] & 4) ? errors : nullptr;
    r.start_time = 1000;
    r.stop_time = 5000;
    r.start_size = 1ull << 40;

    report_body body{};
    if (report_body_init(&body, 16, limit) == 0) {
        // Exact-size template copy too, so the scan is held to its length.
        std::vector<char> exact(tmpl.data(), tmpl.data() + len);
        report_expand(&r, exact.data(), exact.size(), html, &body);
        if (body.length >= body.capacity || body.capacity > limit || body.text[body.length] != 0)
            __builtin_trap();
        report_body_free(&body);
    }
    blob_list_free(errors);
    return 0;
}
