// smtp_message.cpp - composing a report's Internet message.
#include "tools/server/smtp_message.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

const size_t kSubjectMax = 200;
const size_t kLineMax = 998; // octets of a line without its CR LF (RFC 5322)

bool valid_utf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        if (c < 0x80)
            n = 0;
        else if (c >= 0xc2 && c <= 0xdf)
            n = 1;
        else if (c >= 0xe0 && c <= 0xef)
            n = 2;
        else if (c >= 0xf0 && c <= 0xf4)
            n = 3;
        else
            return false;
        if (n > s.size() - i - 1) return false;
        for (size_t k = 1; k <= n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

bool is_ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The first few HTML entities a title holds, as text.
std::string unescape_html(const std::string& s) {
    static const struct {
        const char* entity;
        char c;
    } kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        bool done = false;
        if (s[i] == '&')
            for (const auto& e : kEntities) {
                const std::string name = e.entity;
                if (s.compare(i, name.size(), name) == 0) {
                    out += e.c;
                    i += name.size() - 1;
                    done = true;
                    break;
                }
            }
        if (!done) out += s[i];
    }
    return out;
}

// Blanks folded to one, control characters dropped, cut to kSubjectMax bytes
// without splitting a UTF-8 sequence.
std::string tidy_subject(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < ' ' || c == 0x7f) c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += static_cast<char>(c);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    if (out.size() > kSubjectMax) {
        size_t cut = kSubjectMax;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80)
            cut--;
        out.resize(cut);
    }
    return out;
}

std::string base64(const std::string& s) {
    std::vector<unsigned char> out(4 * ((s.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s.data()),
                                  static_cast<int>(s.size()));
    return std::string(reinterpret_cast<char*>(out.data()), n > 0 ? static_cast<size_t>(n) : 0);
}

// An RFC 2047 encoded word for a subject that is not ASCII, in pieces short
// enough for a header line, each cut between whole characters.
std::string encoded_subject(const std::string& s, const char* charset) {
    std::string out;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = std::min(s.size(), pos + 45);
        while (end < s.size() && end > pos + 1 &&
               (static_cast<unsigned char>(s[end]) & 0xc0) == 0x80)
            end--;
        if (!out.empty()) out += "\r\n ";
        out += std::string("=?") + charset + "?B?" + base64(s.substr(pos, end - pos)) + "?=";
        pos = end;
    }
    return out;
}

// The body's lines, each without its line end (LF, CR LF or a lone CR).
std::vector<std::string> body_lines(const std::string& body) {
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i < body.size(); i++) {
        if (body[i] == '\r' || body[i] == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') i++;
        } else {
            cur += body[i];
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// One line in quoted-printable, soft line breaks keeping each at most 76.
std::string quoted_printable(const std::string& line) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t width = 0;
    for (size_t i = 0; i < line.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        std::string piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
            piece = std::string(1, static_cast<char>(c));
        else
            piece = std::string("=") + hex[c >> 4] + hex[c & 15];
        // A line that starts with a dot is safe either way; the transport
        // stuffs it.
        if (width + piece.size() > 75) {
            out += "=\r\n";
            width = 0;
        }
        out += piece;
        width += piece.size();
    }
    return out;
}

std::string rfc5322_date(int64_t t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t tt = static_cast<time_t>(t);
    struct tm tm_utc;
    if (!gmtime_r(&tt, &tm_utc)) return "Thu, 01 Jan 1970 00:00:00 +0000";
    char buf[64];
    snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm_utc.tm_wday % 7],
             tm_utc.tm_mday, kMonths[tm_utc.tm_mon % 12], tm_utc.tm_year + 1900, tm_utc.tm_hour,
             tm_utc.tm_min, tm_utc.tm_sec);
    return buf;
}

} // namespace

bool smtp_body_is_html(const std::string& body) {
    for (unsigned char c : body) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        return c == '<';
    }
    return false;
}

std::string smtp_subject(const std::string& body) {
    std::string subject;
    if (smtp_body_is_html(body)) {
        const std::string low = lower(body.substr(0, 65536));
        const size_t open = low.find("<title>");
        const size_t close = open == std::string::npos ? open : low.find("</title>", open);
        if (close != std::string::npos)
            subject = tidy_subject(unescape_html(body.substr(open + 7, close - open - 7)));
    } else {
        for (const std::string& line : body_lines(body.substr(0, 65536))) {
            subject = tidy_subject(line);
            if (!subject.empty()) break;
        }
    }
    return subject.empty() ? "Tavni Backup report" : subject;
}

std::string smtp_message_id(int64_t mail, uint32_t idx, int64_t received, const std::string& from) {
    const size_t at = from.rfind('@');
    const std::string domain = at == std::string::npos ? "localhost" : from.substr(at + 1);
    return "tavni." + std::to_string(mail) + "." + std::to_string(idx) + "." +
           std::to_string(received) + "@" + domain;
}

std::string smtp_compose(const smtp_letter& l) {
    const bool utf8 = valid_utf8(l.body);
    const char* charset = utf8 ? "utf-8" : "windows-1252";
    const std::vector<std::string> lines = body_lines(l.body);
    bool plain = is_ascii(l.body);
    for (const std::string& line : lines)
        if (line.size() > kLineMax) plain = false;
    const std::string subject = smtp_subject(l.body);
    std::string m;
    m += "From: " + l.from + "\r\n";
    m += "To: " + l.to + "\r\n";
    m += "Subject: " + (is_ascii(subject) ? subject : encoded_subject(subject, charset)) + "\r\n";
    m += "Date: " + rfc5322_date(l.date) + "\r\n";
    m += "Message-ID: <" + l.message_id + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += std::string("Content-Type: ") + (smtp_body_is_html(l.body) ? "text/html" : "text/plain") +
         "; charset=" + charset + "\r\n";
    m +=
        std::string("Content-Transfer-Encoding: ") + (plain ? "7bit" : "quoted-printable") + "\r\n";
    m += "Auto-Submitted: auto-generated\r\n";
    m += "\r\n";
    for (const std::string& line : lines) {
        m += plain ? line : quoted_printable(line);
        m += "\r\n";
    }
    return m;
}
