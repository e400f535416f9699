// mailer.cpp - delivery of the stored reports: one thread claims the due
// deliveries of the outbox, hands each message to the SMTP relay and records
// what came of it (outbox.h says how a delivery moves on).
//
// A delivery is recorded only after the relay has answered, so a crash (or a
// catalog that fails) between the relay's acceptance and the record leaves it
// due: the report is sent again on the next try, twice but never lost. The
// Message-ID is the same at every try, so a mail system may fold the two.
// The thread holds no lock while it talks to the relay, and the catalog calls
// it makes are the short ones a request makes: serving never waits for mail.
#include "tools/server/serving.h"

#include "tools/server/shown.h"
#include "tools/server/smtp_client.h"
#include "tools/server/smtp_message.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace serving {

namespace {

const uint32_t kBatch = 8; // deliveries claimed at a time

// A claim outlasts the longest try (reaching the relay, the whole
// transaction) with time to spare; a claim of a process that died ends with it.
uint32_t claim_seconds(const srv_config& cfg) {
    return cfg.smtp.connect_timeout_s + cfg.smtp.timeout_s + 60;
}

std::string text_of(const cat_delivery& d) {
    return "report " + std::to_string(d.mail) + " to " + d.recipient;
}

// One claimed delivery: tried (or settled without a try) and recorded.
void deliver(srv_server* s, cat_delivery d) {
    catalog& cat = s->st->cat;
    const srv_config& cfg = s->cfg;
    const int64_t started = now_s();
    smtp_result r;
    cat_mail m;
    if (outbox_stale(cfg.outbox, d, started)) {
        d.state = CAT_DLV_FAILED;
        d.reply = "not sent: it waited longer than the give-up time before a relay was there";
        srv_log(s, "%s given up: it waited since %s without a relay", text_of(d).c_str(),
                time_text_local(d.queued).c_str());
    } else if (!smtp_address_ok(d.recipient)) {
        outbox_settle(cfg.outbox, &d, OUTBOX_NOT_ADDRESS,
                      "not sent: not an e-mail address (local@domain)", started);
        srv_log(s, "%s refused: not an e-mail address", text_of(d).c_str());
    } else {
        int rc = cat.ops->mail_get(cat.self, d.mail, &m);
        if (rc == CAT_NOT_FOUND) return; // removed with its user; its deliveries went too
        if (rc != CAT_OK) {
            // Leave it claimed: it is due again when the claim expires.
            srv_log(s, "%s: the catalog could not read the report", text_of(d).c_str());
            return;
        }
        smtp_letter l;
        l.from = cfg.smtp.from;
        l.to = d.recipient;
        l.date = m.received;
        l.message_id = smtp_message_id(d.mail, d.idx, m.received, cfg.smtp.from);
        l.body.swap(m.body);
        r = smtp_send(cfg.smtp, d.recipient, smtp_compose(l), &s->mail_stop);
        const int64_t now = now_s();
        outbox_settle(cfg.outbox, &d, r.verdict, r.reply, now);
        switch (d.state) {
        case CAT_DLV_SENT:
            srv_log(s, "%s sent: %s", text_of(d).c_str(), d.reply.c_str());
            break;
        case CAT_DLV_BOUNCED:
            srv_log(s, "%s bounced: the relay refused it: %s", text_of(d).c_str(), d.reply.c_str());
            break;
        case CAT_DLV_FAILED:
            srv_log(s, "%s failed: not delivered within %u hours; last reply: %s",
                    text_of(d).c_str(), cfg.outbox.give_up_s / 3600, d.reply.c_str());
            break;
        default:
            if (r.verdict == OUTBOX_INTERRUPTED) break;
            srv_log(s, "%s not sent (attempt %u): %s; next try at %s", text_of(d).c_str(),
                    d.attempts, d.reply.c_str(), time_text_local(d.next_try).c_str());
        }
    }
    const int rc = cat.ops->outbox_record(cat.self, d, s->mail_worker);
    if (rc == CAT_FAIL)
        srv_log(s,
                "%s: the catalog could not record the delivery; it stays due and may be "
                "sent again",
                text_of(d).c_str());
}

void mailer_main(srv_server* s) {
    catalog& cat = s->st->cat;
    bool failing = false; // the catalog failed the last claim (logged once)
    while (!s->mail_stop) {
        std::vector<cat_delivery> batch;
        int64_t next_due = 0;
        const int64_t now = now_s();
        const int rc = cat.ops->outbox_claim(cat.self, now, kBatch, s->mail_worker,
                                             claim_seconds(s->cfg), &batch, &next_due);
        if (rc != CAT_OK && !failing) srv_log(s, "the outbox cannot be read from the catalog");
        failing = rc != CAT_OK;
        for (size_t i = 0; i < batch.size(); i++) {
            if (s->mail_stop) {
                // Not tried: due again at once for the next process.
                cat_delivery d = batch[i];
                outbox_settle(s->cfg.outbox, &d, OUTBOX_INTERRUPTED, "", now_s());
                cat.ops->outbox_record(cat.self, d, s->mail_worker);
                continue;
            }
            deliver(s, batch[i]);
        }
        if (batch.size() == kBatch) continue; // more may be due
        // Sleep until the next delivery falls due, a report arrives, or the
        // poll interval for other processes' reports passes.
        int64_t wait_ms = s->cfg.mail_poll_ms;
        if (next_due > 0)
            wait_ms = std::min<int64_t>(wait_ms, std::max<int64_t>(0, (next_due - now_s()) * 1000));
        std::unique_lock<std::mutex> g(s->mail_mu);
        s->mail_cv.wait_for(g, std::chrono::milliseconds(std::max<int64_t>(wait_ms, 50)),
                            [&] { return s->mail_wake || s->mail_stop.load(); });
        s->mail_wake = false;
    }
}

} // namespace

void mailer_start(srv_server* s) {
    if (s->cfg.smtp.url.empty()) return;
    std::random_device rd;
    char name[40];
    snprintf(name, sizeof name, "mailer-%08x%08x", rd(), rd());
    s->mail_worker = name;
    srv_log(s, "reports go to %s from %s", s->cfg.smtp.url.c_str(), s->cfg.smtp.from.c_str());
    s->mailer = std::thread(mailer_main, s);
}

void mailer_wake(srv_server* s) {
    std::lock_guard<std::mutex> g(s->mail_mu);
    s->mail_wake = true;
    s->mail_cv.notify_all();
}

void mailer_stop(srv_server* s) {
    {
        std::lock_guard<std::mutex> g(s->mail_mu);
        s->mail_stop = true;
        s->mail_cv.notify_all();
    }
    if (s->mailer.joinable()) s->mailer.join();
}

} // namespace serving
