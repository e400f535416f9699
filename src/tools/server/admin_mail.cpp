// admin_mail.cpp - the stored e-mail reports: list them with where each
// stands with each recipient, show one, and queue one again for the relay.
#include "tools/server/admin.h"

#include "tools/server/outbox.h"
#include "tools/server/server.h"
#include "tools/server/shown.h"

#include <cstdio>
#include <map>

namespace {

const size_t kListReplyMax = 60; // bytes of a relay's reply in a list line

std::string plural(uint32_t n, const char* one) {
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// One recipient's state in a list line: short, one line.
std::string brief(const cat_delivery& d) {
    std::string reply =
        d.reply.size() > kListReplyMax ? d.reply.substr(0, kListReplyMax) + "..." : d.reply;
    switch (d.state) {
    case CAT_DLV_QUEUED:
        return "queued";
    case CAT_DLV_SENT:
        return "sent " + time_text_local(d.sent);
    case CAT_DLV_RETRYING:
        return "retrying, " + plural(d.attempts, "attempt") + ", next try " +
               time_text_local(d.next_try);
    case CAT_DLV_BOUNCED:
        return "bounced: " + reply;
    case CAT_DLV_FAILED:
        return "failed after " + plural(d.attempts, "attempt");
    case CAT_DLV_REFUSED:
        return "refused: not an e-mail address";
    default:
        return outbox_state_name(d.state);
    }
}

// One recipient's state in full, for show.
std::string detail(const cat_delivery& d) {
    std::string s = outbox_state_name(d.state);
    if (d.state == CAT_DLV_SENT) s += " " + time_text_local(d.sent);
    s += ", " + plural(d.attempts, "attempt");
    if (d.last_try) s += ", last " + time_text_local(d.last_try);
    if (d.state == CAT_DLV_QUEUED || d.state == CAT_DLV_RETRYING)
        s += ", next try " + time_text_local(d.next_try);
    s += ", queued " + time_text_local(d.queued);
    if (!d.reply.empty()) s += "\n      last reply: " + d.reply;
    return s;
}

} // namespace

int srv_cmd_mail_list(srv_store* st) {
    std::vector<cat_mail> all;
    std::vector<cat_delivery> deliveries;
    if (st->cat.ops->mail_list(st->cat.self, &all) != CAT_OK ||
        st->cat.ops->outbox_list(st->cat.self, 0, &deliveries) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the stored mail from the catalog\n");
        return 1;
    }
    // A mail's deliveries are numbered as its recipients (cat_mail_recipients).
    std::map<int64_t, std::map<uint32_t, const cat_delivery*>> by_mail;
    for (const cat_delivery& d : deliveries)
        by_mail[d.mail][d.idx] = &d;
    for (const cat_mail& m : all) {
        std::string to;
        const auto& states = by_mail[m.id];
        const std::vector<std::string> recipients = cat_mail_recipients(m.recipients);
        for (uint32_t i = 0; i < recipients.size(); i++) {
            if (!to.empty()) to += ", ";
            auto it = states.find(i);
            to += recipients[i] + " (" +
                  (it == states.end() ? std::string("not queued: stored before delivery")
                                      : brief(*it->second)) +
                  ")";
        }
        printf("%lld  %s  user %u  schedule %llu  %s%s  to: %s\n", static_cast<long long>(m.id),
               time_text_local(m.received).c_str(), m.user,
               static_cast<unsigned long long>(m.schedule_id),
               srv_size_text(m.body.size(), srv_sizes_in_units()).c_str(),
               srv_sizes_in_units() ? "" : " bytes", to.c_str());
    }
    return 0;
}

int srv_cmd_mail_show(srv_store* st, int64_t id) {
    cat_mail m;
    std::vector<cat_delivery> deliveries;
    if (st->cat.ops->mail_get(st->cat.self, id, &m) != CAT_OK) {
        fprintf(stderr, "tavni-server: no message %lld\n", static_cast<long long>(id));
        return 1;
    }
    if (st->cat.ops->outbox_list(st->cat.self, id, &deliveries) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the outbox from the catalog\n");
        return 1;
    }
    printf("Recipients: ");
    for (char ch : m.recipients)
        printf("%s", ch == '\n' ? " " : std::string(1, ch).c_str());
    printf("\nDelivery:\n");
    if (deliveries.empty()) printf("  not queued: stored before delivery (mail retry queues it)\n");
    for (const cat_delivery& d : deliveries)
        printf("  %s: %s\n", d.recipient.c_str(), detail(d).c_str());
    printf("\n");
    fwrite(m.body.data(), 1, m.body.size(), stdout);
    return 0;
}

int srv_cmd_mail_retry(srv_store* st, int64_t id, int64_t now) {
    uint32_t queued = 0;
    const int rc = st->cat.ops->outbox_retry(st->cat.self, id, now, &queued);
    if (rc == CAT_NOT_FOUND) {
        fprintf(stderr, "tavni-server: no message %lld\n", static_cast<long long>(id));
        return 1;
    }
    if (rc != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot queue message %lld again: the catalog failed\n",
                static_cast<long long>(id));
        return 1;
    }
    if (queued == 0)
        printf("message %lld: nothing to send again (every recipient has it)\n",
               static_cast<long long>(id));
    else
        printf("message %lld: %u %s due now; a server serving with --smtp sends %s\n",
               static_cast<long long>(id), queued, queued == 1 ? "delivery" : "deliveries",
               queued == 1 ? "it" : "them");
    return 0;
}
