// smtp_client.cpp - one SMTP transaction on libcurl, with the relay's
// replies read from curl's transcript of the session.
#include "tools/server/smtp_client.h"

#include "common/owner.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

namespace {

const size_t kReplyMax = 1000;   // bytes of a reply kept
const size_t kPartialMax = 4096; // bytes of one reply line read before it is cut

std::once_flag g_curl_init;

// What the session said, as curl shows it: commands out, replies in.
struct transcript {
    std::string partial;      // a reply line not yet ended
    std::string reply;        // the reply being read, lines so far
    std::string last_reply;   // the last whole reply before QUIT
    std::string command;      // the verb of the last command sent ("" before any)
    std::string last_command; // the command last_reply answered
    bool quitting = false;    // QUIT sent: what follows decides nothing
};

void add_text(std::string* to, const std::string& line) {
    for (unsigned char c : line) {
        if (to->size() >= kReplyMax) return;
        to->push_back(c < ' ' || c == 0x7f ? ' ' : static_cast<char>(c));
    }
}

void reply_line(transcript* t, const std::string& line) {
    if (!t->reply.empty()) add_text(&t->reply, " ");
    add_text(&t->reply, line);
    // "250-..." goes on; "250 ..." (or a bare code) ends the reply.
    if (line.size() >= 4 && line[3] == '-') return;
    t->last_reply = t->reply;
    t->last_command = t->command;
    t->reply.clear();
}

int on_debug(CURL*, curl_infotype type, char* data, size_t size, void* ctx) {
    transcript* t = static_cast<transcript*>(ctx);
    if (type == CURLINFO_HEADER_OUT) {
        std::string verb;
        for (size_t i = 0; i < size && i < 16; i++) {
            const char c = data[i];
            if (c == ' ' || c == '\r' || c == '\n') break;
            verb += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        t->command = verb;
        if (verb == "QUIT") t->quitting = true;
        return 0;
    }
    if (type != CURLINFO_HEADER_IN || t->quitting) return 0;
    for (size_t i = 0; i < size; i++) {
        const char c = data[i];
        if (c == '\n') {
            if (!t->partial.empty() && t->partial.back() == '\r') t->partial.pop_back();
            reply_line(t, t->partial);
            t->partial.clear();
        } else if (t->partial.size() < kPartialMax) {
            t->partial += c;
        }
    }
    return 0;
}

struct upload {
    const std::string* text;
    size_t pos;
};

size_t on_read(char* buf, size_t size, size_t count, void* ctx) {
    upload* u = static_cast<upload*>(ctx);
    const size_t n = std::min(size * count, u->text->size() - u->pos);
    memcpy(buf, u->text->data() + u->pos, n);
    u->pos += n;
    return n;
}

int on_progress(void* ctx, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const std::atomic<bool>* stop = static_cast<const std::atomic<bool>*>(ctx);
    return stop && stop->load() ? 1 : 0;
}

int reply_code(const std::string& reply) {
    if (reply.size() < 3 || !isdigit(static_cast<unsigned char>(reply[0])) ||
        !isdigit(static_cast<unsigned char>(reply[1])) ||
        !isdigit(static_cast<unsigned char>(reply[2])))
        return 0;
    return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

// A 5xx to these is about the relay's set-up for this server, not about
// one message.
bool is_setup_command(const std::string& verb) {
    return verb.empty() || verb == "EHLO" || verb == "HELO" || verb == "AUTH" || verb == "STARTTLS";
}

} // namespace

bool smtp_available(std::string* why) {
    std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const curl_version_info_data* v = curl_version_info(CURLVERSION_NOW);
    bool smtp = false, smtps = false;
    for (const char* const* p = v ? v->protocols : nullptr; p && *p; p++) {
        if (strcmp(*p, "smtp") == 0) smtp = true;
        if (strcmp(*p, "smtps") == 0) smtps = true;
    }
    if (smtp && smtps) return true;
    *why = "this tavni-server's libcurl has no SMTP support: --smtp is unavailable";
    return false;
}

smtp_result smtp_send(const smtp_config& cfg, const std::string& rcpt, const std::string& message,
                      const std::atomic<bool>* stop) {
    std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    smtp_result out;
    owner<CURL, curl_easy_cleanup> h(curl_easy_init());
    if (!h) {
        out.reply = "cannot start a connection (out of memory)";
        return out;
    }
    const std::string from = "<" + cfg.from + ">";
    owner<curl_slist, curl_slist_free_all> to(
        curl_slist_append(nullptr, ("<" + rcpt + ">").c_str()));
    if (!to) {
        out.reply = "cannot start a connection (out of memory)";
        return out;
    }
    transcript t;
    upload up{&message, 0};
    char errbuf[CURL_ERROR_SIZE] = "";
    CURL* c = h.get();
    curl_easy_setopt(c, CURLOPT_URL, cfg.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#else
    curl_easy_setopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_SMTP | CURLPROTO_SMTPS));
#endif
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(cfg.connect_timeout_s));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(cfg.timeout_s));
    const bool login = !cfg.user.empty();
    curl_easy_setopt(c, CURLOPT_USE_SSL,
                     login ? static_cast<long>(CURLUSESSL_ALL) : static_cast<long>(CURLUSESSL_TRY));
    if (login) {
        curl_easy_setopt(c, CURLOPT_USERNAME, cfg.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, cfg.password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, to.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(c, CURLOPT_READDATA, &up);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    // The transcript comes through the debug hook, which curl calls only
    // when verbose; nothing is printed.
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, on_debug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(stop));
    const CURLcode rc = curl_easy_perform(c);

    const int code = reply_code(t.last_reply);
    if (rc == CURLE_OK) {
        out.verdict = OUTBOX_SENT;
        out.reply = t.last_reply;
    } else if (rc == CURLE_ABORTED_BY_CALLBACK && stop && stop->load()) {
        out.verdict = OUTBOX_INTERRUPTED;
        out.reply = "the server stopped during the try";
    } else if (code >= 500 && code < 600 && rc != CURLE_LOGIN_DENIED &&
               !is_setup_command(t.last_command)) {
        out.verdict = OUTBOX_PERMANENT;
        out.reply = t.last_reply;
    } else if (code >= 400 && code < 600) {
        out.verdict = OUTBOX_TRANSIENT;
        out.reply = t.last_reply;
    } else {
        out.verdict = OUTBOX_TRANSIENT;
        add_text(&out.reply, errbuf[0] ? errbuf : curl_easy_strerror(rc));
    }
    return out;
}
