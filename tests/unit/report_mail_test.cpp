// Tests of report composition: template loading, the token scan, the error
// list forms, body growth and recipient entries. No files are delivered here.
#include "report/mail.h"

#include "common/text.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Composer : ::testing::Test {
    job_report r{};
    report_body body{};
    blob_list* errors = nullptr;
    std::vector<char> tmpl = std::vector<char>(REPORT_TEMPLATE_BUF);

    void SetUp() override {
        ASSERT_EQ(report_body_init(&body, REPORT_BODY_START, REPORT_BODY_MAX), 0);
    }
    void TearDown() override {
        report_body_free(&body);
        blob_list_free(errors);
    }
    void with_errors(std::initializer_list<const char*> pairs) {
        errors = blob_list_new(1, 16, nullptr);
        for (const char* p : pairs)
            blob_list_append_text(errors, p);
        r.errors = errors;
    }
    std::string expand(const std::string& text, bool html = false) {
        report_expand(&r, text.data(), text.size(), html, &body);
        return std::string(body.text, body.length);
    }
};

std::string ctime_line(int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::string s = std::ctime(&tt);
    s.pop_back(); // its line feed
    return s;
}

TEST_F(Composer, EveryTokenHasItsValue) {
    r.job_name = "Nightly";
    char message[] = "Server went away";
    r.failure_message = message;
    r.account_name = "Acme";
    r.user_name = "bob";
    r.destination = "/x/docs/2009";
    r.start_time = 1700000000;
    r.stop_time = 1700000000 + 3725;
    r.start_size = 5368709120ULL; // 5 GiB: all 64 bits are printed
    r.stop_size = 5368709120ULL + 1000;
    r.files_requested = 12;
    r.files_transferred = 7;
    r.files_up_to_date = 4;
    r.files_failed = 1;
    with_errors({"C:\\a.txt", "Permission denied"});
    std::string out =
        expand("#JOB#|#ERROR_MESSAGE#|#ACCNAME#|#USERNAME#|#DSTPATH#|#START_TIME#|#START_SIZE#|"
               "#STOP_TIME#|#STOP_SIZE#|#DELTA_TIME#|#DELTA_SIZE#|#NUM_REQUESTED#|"
               "#NUM_TRANSFERED#|#NUM_UP2DATE#|#NUM_FAILED#|#ERROR_LIST#");
    std::string want =
        "Nightly|Server went away|Acme|bob|My Tavni/bob/docs/2009|" + ctime_line(r.start_time) +
        "|5368709120 bytes|" + ctime_line(r.stop_time) +
        "|5368710120 bytes|01:02:05|1000 bytes|12|7|4|1| - C:\\a.txt: Permission denied\n";
    EXPECT_EQ(out, want);
    EXPECT_EQ(ctime_line(r.start_time).size(), 24u);
}

TEST_F(Composer, UnsetValuesGiveNothing) {
    // Before the session and the first failure the texts are absent; before
    // counting there is no errors list.
    EXPECT_EQ(expand("[#JOB#][#ERROR_MESSAGE#][#ACCNAME#][#USERNAME#][#DSTPATH#][#ERROR_LIST#]"),
              "[][][][][My Tavni/][]");
    EXPECT_EQ(expand("#ERROR_LIST#", true),
              "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>");
}

TEST_F(Composer, DestinationPathForms) {
    r.user_name = "bob";
    struct {
        const char* dest;
        const char* want;
    } cases[] = {{"/x/docs/2009", "My Tavni/bob/docs/2009"},
                 {"/x", "My Tavni/bob"},
                 {"", "My Tavni/bob"},
                 {"x/y", "My Tavni/bob/y"},
                 {"//y", "My Tavni/bob/y"},
                 {"/", "My Tavni/bob"}};
    for (auto& c : cases) {
        r.destination = c.dest;
        EXPECT_EQ(expand("#DSTPATH#"), c.want) << c.dest;
    }
}

TEST_F(Composer, DurationsAndDeltas) {
    r.start_time = 1000;
    r.stop_time = 1000 + 400000; // hours capped at 99
    r.start_size = 10;
    r.stop_size = 4; // unsigned 64-bit difference
    EXPECT_EQ(expand("#DELTA_TIME# #DELTA_SIZE#"), "99:06:40 18446744073709551610 bytes");
    r.files_failed = 3;
    EXPECT_EQ(expand("Failed: #NUM_FAILED#\n"), "Failed: 3\n");
    r.files_requested = 0x8000000000000000ULL; // printed as a signed 64-bit number
    EXPECT_EQ(expand("#NUM_REQUESTED#"), "-9223372036854775808");
}

TEST_F(Composer, HashesThatStartNoToken) {
    r.job_name = "J";
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"#FOO# and #JOB#", "#FOO# and J"}, // first "#" copied, scan resumes at the letters
        {"##JOB##", "#J#"},
        {"#", "#"},
        {"end #", "end #"},
        {"cut #JOB", "cut #JOB"},
        {"cut #NUM_FAILED", "cut #NUM_FAILED"},
        {"#job#", "#job#"}, // case-sensitive
        {"#FOO#JOB#", "#FOOJ"},
        {"", ""},
    };
    for (auto& c : cases)
        EXPECT_EQ(expand(c.in), c.out) << c.in;
}

TEST_F(Composer, ErrorListForms) {
    with_errors({});
    EXPECT_EQ(expand("#ERROR_LIST#", true),
              "<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");
    EXPECT_EQ(expand("#ERROR_LIST#", false), " - None!\n");
    blob_list_append_text(errors, "/a");
    blob_list_append_text(errors, "No such file or directory");
    blob_list_append_text(errors, "/b");
    blob_list_append_text(errors, "ERR_ACCESS");
    EXPECT_EQ(expand("#ERROR_LIST#", true),
              "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>"
              "<tr><td>/a</td><td>No such file or directory</td></tr>\n"
              "<tr><td>/b</td><td>ERR_ACCESS</td></tr>\n");
    EXPECT_EQ(expand("#ERROR_LIST#", false),
              " - /a: No such file or directory\n - /b: ERR_ACCESS\n");
}

TEST_F(Composer, TemplateBytes) {
    char* out = tmpl.data();
    EXPECT_EQ(std::string(out, report_template_from_bytes(out, false, nullptr, 0)),
              "\nEmail template missing!");
    EXPECT_EQ(std::string(out, report_template_from_bytes(out, true, "", 0)),
              "\nError loading email template!");
    std::string crlf = "a\r\nb\r\n\r\nc\r";
    EXPECT_EQ(std::string(out, report_template_from_bytes(out, true, crlf.data(), crlf.size())),
              "a\nb\n\nc");
    // Text ends at a zero byte.
    const char binary[] = {'x', '\xff', '\x01', 0, 'y'};
    EXPECT_EQ(std::string(out, report_template_from_bytes(out, true, binary, sizeof binary)),
              "x\xff\x01");
    // A full read of 32767 bytes is taken as too large; one byte less is fine.
    std::string big(REPORT_TEMPLATE_BUF - 1, 'a');
    EXPECT_EQ(std::string(out, report_template_from_bytes(out, true, big.data(), big.size())),
              "\nError loading email template!");
    EXPECT_EQ(report_template_from_bytes(out, true, big.data(), big.size() - 1), big.size() - 1);
    EXPECT_EQ(out[big.size() - 1], 0);
    EXPECT_EQ(report_template_path("etc/success", true), "etc/success_html.emt");
    EXPECT_EQ(report_template_path("etc/failnoinfo", false), "etc/failnoinfo_txt.emt");
}

TEST_F(Composer, TemplateFiles) {
    namespace fs = std::filesystem;
    fs::path dir = unique_temp_path("tmpl");
    fs::create_directories(dir);
    auto write = [&](const char* name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    };
    char* out = tmpl.data();
    EXPECT_STREQ((report_template_load((dir / "none.emt").string().c_str(), out), out),
                 "\nEmail template missing!");
    EXPECT_STREQ((report_template_load(write("empty.emt", "").c_str(), out), out),
                 "\nError loading email template!");
    EXPECT_STREQ(
        (report_template_load(write("exact.emt", std::string(32767, 'b')).c_str(), out), out),
        "\nError loading email template!");
    EXPECT_STREQ(
        (report_template_load(write("over.emt", std::string(40000, 'b')).c_str(), out), out),
        "\nError loading email template!");
    EXPECT_STREQ(
        (report_template_load(write("crlf.emt", "Job #JOB#\r\nDone\r\n").c_str(), out), out),
        "Job #JOB#\nDone\n");
    std::string near(32766, 'c');
    EXPECT_EQ(report_template_load(write("near.emt", near).c_str(), out), near.size());
    fs::remove_all(dir);
}

TEST_F(Composer, BodyGrowsByDoublingToItsLimit) {
    report_body b{};
    ASSERT_EQ(report_body_init(&b, 4, 16), 0);
    EXPECT_TRUE(report_body_append(&b, "abc", 3)); // 3 < 4
    EXPECT_EQ(b.capacity, 4u);
    EXPECT_TRUE(report_body_append(&b, "d", 1)); // 4 is not below 4: doubles to 8
    EXPECT_EQ(b.capacity, 8u);
    EXPECT_TRUE(report_body_append(&b, "efghijk", 7)); // 11: 16
    EXPECT_EQ(b.capacity, 16u);
    EXPECT_FALSE(report_body_append(&b, "lmnop", 5)); // 16 would leave no room for the zero
    EXPECT_TRUE(b.full);
    EXPECT_FALSE(report_body_append(&b, "", 0)); // every later piece is dropped
    EXPECT_STREQ(b.text, "abcdefghijk");
    report_body_clear(&b);
    EXPECT_FALSE(report_body_append(&b, "x", 1)); // full lasts for the whole report
    report_body_free(&b);

    ASSERT_EQ(report_body_init(&b, 131072, 10485760), 0);
    std::string mib(1 << 20, 'm');
    for (int i = 0; i < 9; i++)
        EXPECT_TRUE(report_body_append(&b, mib.data(), mib.size()));
    EXPECT_EQ(b.capacity, 10485760u);                         // 8 MiB doubled, but capped
    EXPECT_TRUE(report_body_append(&b, mib.data(), 1048575)); // 10485759 bytes and the zero
    EXPECT_FALSE(report_body_append(&b, "z", 1));
    EXPECT_EQ(b.length, 10485759u);
    report_body_free(&b);
}

TEST_F(Composer, ExpansionStopsAtTenMebibytes) {
    std::string name(4000, 'n');
    r.job_name = name.c_str();
    std::string t;
    for (int i = 0; i < 3000; i++)
        t += "#JOB#";
    EXPECT_FALSE(report_expand(&r, t.data(), t.size(), false, &body));
    EXPECT_LT(body.length, static_cast<size_t>(REPORT_BODY_MAX));
    EXPECT_EQ(body.length % name.size(), 0u); // whole pieces only
    EXPECT_EQ(strlen(body.text), body.length);
}

TEST(ReportRecipients, FlagsAndAddresses) {
    const char* address = nullptr;
    EXPECT_EQ(report_parse_recipient("3,a@b.example", 1, &address), 3);
    EXPECT_STREQ(address, "a@b.example");
    EXPECT_EQ(report_parse_recipient("a@b.example", 1, &address), 1);
    EXPECT_STREQ(address, "a@b.example");
    EXPECT_EQ(report_parse_recipient("x,a@b", 1, &address), 0);
    EXPECT_STREQ(address, "a@b");
    EXPECT_EQ(report_parse_recipient(" 12z,a,b", 1, &address), 12);
    EXPECT_STREQ(address, "a,b");
    EXPECT_EQ(report_parse_recipient("-3,a", 1, &address), -3);
    EXPECT_EQ(report_parse_recipient("99999999999999999999,a", 1, &address), INT_MAX);
    EXPECT_EQ(report_parse_recipient("0,", 1, &address), 0);
    EXPECT_STREQ(address, "");
}

} // namespace

namespace {

// The templates shipped in etc/: each loads, uses only known tokens and only
// those that carry a value for its outcome.
TEST_F(Composer, ShippedTemplatesUseFittingTokens) {
    namespace fs = std::filesystem;
    fs::path etc = fs::path(__FILE__).parent_path().parent_path().parent_path() / "etc";
    ASSERT_TRUE(fs::exists(etc / "success_html.emt")) << etc;
    r.job_name = "Nightly";
    r.account_name = "Acme";
    r.user_name = "bob";
    r.destination = "/x/docs";
    with_errors({"C:\\a.txt", "Permission denied"});
    const char* not_for_failures[] = {"#STOP_TIME#", "#STOP_SIZE#", "#DELTA_TIME#", "#DELTA_SIZE#"};
    const char* not_before_session[] = {"#ACCNAME#",       "#USERNAME#",   "#DSTPATH#",
                                        "#NUM_REQUESTED#", "#NUM_FAILED#", "#NUM_TRANSFERED#",
                                        "#NUM_UP2DATE#",   "#ERROR_LIST#", "#START_SIZE#"};
    for (const char* base : {"success", "failinfo", "failnoinfo"}) {
        for (bool html : {true, false}) {
            std::string name = report_template_path(base, html);
            fs::path path = etc / name;
            size_t len = report_template_load(path.string().c_str(), tmpl.data());
            std::string text(tmpl.data(), len);
            ASSERT_GT(len, 100u) << name;
            EXPECT_NE(text.find("#JOB#"), std::string::npos) << name;
            if (std::string(base) != "success") {
                EXPECT_NE(text.find("#ERROR_MESSAGE#"), std::string::npos) << name;
                for (const char* t : not_for_failures)
                    EXPECT_EQ(text.find(t), std::string::npos) << name << t;
            } else {
                EXPECT_NE(text.find("#DELTA_TIME#"), std::string::npos) << name;
                EXPECT_NE(text.find("#ERROR_LIST#"), std::string::npos) << name;
            }
            if (std::string(base) == "failnoinfo") {
                for (const char* t : not_before_session)
                    EXPECT_EQ(text.find(t), std::string::npos) << name << t;
            }
            std::string out = expand(text, html);
            // Nothing that looks like a token ("#" upper-case name "#") is left over.
            for (size_t at = out.find('#'); at != std::string::npos; at = out.find('#', at + 1)) {
                size_t end = at + 1;
                if (end >= out.size() || !isupper(static_cast<unsigned char>(out[end]))) continue;
                while (end < out.size() &&
                       (isupper(static_cast<unsigned char>(out[end])) || out[end] == '_' ||
                        isdigit(static_cast<unsigned char>(out[end]))))
                    end++;
                EXPECT_FALSE(end < out.size() && out[end] == '#')
                    << name << ": " << out.substr(at, 20);
            }
            if (html && std::string(base) != "failnoinfo") {
                EXPECT_NE(out.find("<tr><td>C:\\a.txt</td><td>Permission denied</td></tr>"),
                          std::string::npos);
            }
        }
    }
}

} // namespace

namespace {

// Values from outside cannot bring markup into an HTML message; the text
// message keeps them as they are.
TEST_F(Composer, HtmlMessagesEscapeValues) {
    r.job_name = "A&B <x>";
    r.user_name = "u\"1";
    r.destination = "/x/<d>";
    with_errors({"/tmp/<img src=x>.txt", "a & b"});
    EXPECT_EQ(expand("#JOB#|#DSTPATH#|#ERROR_LIST#", true),
              "A&amp;B &lt;x&gt;|My Tavni/u&quot;1/&lt;d&gt;|"
              "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>"
              "<tr><td>/tmp/&lt;img src=x&gt;.txt</td><td>a &amp; b</td></tr>\n");
    EXPECT_EQ(expand("#JOB#|#DSTPATH#|#ERROR_LIST#", false),
              "A&B <x>|My Tavni/u\"1/<d>| - /tmp/<img src=x>.txt: a & b\n");
}

} // namespace
