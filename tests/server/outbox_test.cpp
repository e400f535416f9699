// outbox_test.cpp - the delivery of stored reports apart from any relay:
// how a delivery moves on after each try, the message a report becomes, and
// the checks of the relay's settings and log-in file.
#include "tools/server/outbox.h"
#include "tools/server/smtp_message.h"
#include "tools/server/smtp_settings.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

cat_delivery queued_at(int64_t t) {
    cat_delivery d;
    d.mail = 4;
    d.recipient = "a@x";
    d.queued = d.next_try = t;
    return d;
}

TEST(Outbox, TransientFailuresBackOffDoublingUpToTheMaximumThenGiveUp) {
    outbox_policy p; // 60 s doubling to an hour, two days in all
    EXPECT_EQ(outbox_backoff_s(p, 1), 60u);
    EXPECT_EQ(outbox_backoff_s(p, 2), 120u);
    EXPECT_EQ(outbox_backoff_s(p, 6), 1920u);
    EXPECT_EQ(outbox_backoff_s(p, 7), 3600u);
    EXPECT_EQ(outbox_backoff_s(p, 1000000), 3600u); // no overflow on a long ladder

    cat_delivery d = queued_at(1000);
    int64_t now = 1000;
    outbox_settle(p, &d, OUTBOX_TRANSIENT, "451 later", now);
    EXPECT_EQ(d.state, CAT_DLV_RETRYING);
    EXPECT_EQ(d.attempts, 1u);
    EXPECT_EQ(d.last_try, 1000);
    EXPECT_EQ(d.next_try, 1060);
    EXPECT_EQ(d.reply, "451 later");
    // Every try at its time: the last one falls exactly on the deadline,
    // and its failure gives up.
    int tries = 1;
    while (d.state == CAT_DLV_RETRYING && tries < 1000) {
        now = d.next_try;
        outbox_settle(p, &d, OUTBOX_TRANSIENT, "Failed to connect", now);
        tries++;
    }
    EXPECT_EQ(d.state, CAT_DLV_FAILED);
    EXPECT_EQ(now, 1000 + 2 * 24 * 3600);
    EXPECT_EQ(d.attempts, static_cast<uint32_t>(tries));
    EXPECT_EQ(d.reply, "Failed to connect");

    // A shortened ladder (tests) keeps its base even above the maximum.
    outbox_policy quick;
    quick.retry_base_s = 7200;
    EXPECT_EQ(outbox_backoff_s(quick, 1), 7200u);
    quick.retry_base_s = 0; // never a zero pause: that would spin
    EXPECT_EQ(outbox_backoff_s(quick, 1), 1u);
}

TEST(Outbox, SentBouncedRefusedAndInterruptedTries) {
    outbox_policy p;
    cat_delivery d = queued_at(10);
    outbox_settle(p, &d, OUTBOX_TRANSIENT, "451 later", 10);
    outbox_settle(p, &d, OUTBOX_SENT, "250 queued", 70);
    EXPECT_EQ(d.state, CAT_DLV_SENT);
    EXPECT_EQ(d.sent, 70);
    EXPECT_EQ(d.attempts, 2u);
    EXPECT_EQ(d.reply, "250 queued");

    cat_delivery b = queued_at(10);
    outbox_settle(p, &b, OUTBOX_PERMANENT, "550 no such user", 11);
    EXPECT_EQ(b.state, CAT_DLV_BOUNCED);
    EXPECT_EQ(b.attempts, 1u);
    EXPECT_EQ(b.sent, 0);

    cat_delivery r = queued_at(10);
    outbox_settle(p, &r, OUTBOX_NOT_ADDRESS, "not an e-mail address", 11);
    EXPECT_EQ(r.state, CAT_DLV_REFUSED);
    EXPECT_EQ(r.attempts, 0u); // nothing went to the relay

    // A stop in the middle: due again at once, not counted, reply kept.
    cat_delivery i = queued_at(10);
    outbox_settle(p, &i, OUTBOX_TRANSIENT, "451 later", 10);
    outbox_settle(p, &i, OUTBOX_INTERRUPTED, "", 30);
    EXPECT_EQ(i.state, CAT_DLV_RETRYING);
    EXPECT_EQ(i.attempts, 1u);
    EXPECT_EQ(i.next_try, 30);
    EXPECT_EQ(i.reply, "451 later");

    // Never tried and older than the give-up time: stale. Tried: not.
    EXPECT_FALSE(outbox_stale(p, queued_at(10), 10 + 2 * 24 * 3600));
    EXPECT_TRUE(outbox_stale(p, queued_at(10), 11 + 2 * 24 * 3600));
    EXPECT_FALSE(outbox_stale(p, i, 11 + 2 * 24 * 3600));
    EXPECT_STREQ(outbox_state_name(CAT_DLV_BOUNCED), "bounced");
    EXPECT_STREQ(outbox_state_name(42), "unknown");
}

// The header block of a composed message, and its body.
void split(const std::string& m, std::string* head, std::string* body) {
    size_t k = m.find("\r\n\r\n");
    ASSERT_NE(k, std::string::npos);
    *head = m.substr(0, k + 2);
    *body = m.substr(k + 4);
}

TEST(SmtpMessage, ATextReportGoesAsItIsWithCrLfAndItsFirstLineAsSubject) {
    smtp_letter l;
    l.from = "backup@example.com";
    l.to = "owner@example.com";
    l.date = 1767225600; // 2026-01-01 00:00:00 UTC, a Thursday
    l.message_id = smtp_message_id(12, 1, 1767225600, l.from);
    l.body = "\n  Tavni Backup: backup completed\n===\r\n\nFiles failed  0\r.last";
    std::string head, body;
    split(smtp_compose(l), &head, &body);
    EXPECT_NE(head.find("From: backup@example.com\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("To: owner@example.com\r\n"), std::string::npos);
    EXPECT_NE(head.find("Subject: Tavni Backup: backup completed\r\n"), std::string::npos);
    EXPECT_NE(head.find("Date: Thu, 01 Jan 2026 00:00:00 +0000\r\n"), std::string::npos);
    EXPECT_NE(head.find("Message-ID: <tavni.12.1.1767225600@example.com>\r\n"), std::string::npos);
    EXPECT_NE(head.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(head.find("Content-Transfer-Encoding: 7bit\r\n"), std::string::npos);
    // Every line end is CR LF, a lone CR included; the dot is the
    // transport's to stuff.
    EXPECT_EQ(body,
              "\r\n  Tavni Backup: backup completed\r\n===\r\n\r\nFiles failed  0\r\n.last\r\n");
}

TEST(SmtpMessage, HtmlLongLinesAndOtherCharsetsAreEncoded) {
    smtp_letter l;
    l.from = "b@example.com";
    l.to = "o@example.com";
    l.message_id = "m@example.com";
    l.body = "<!DOCTYPE html><html><head><TITLE>Backup completed: caf\xc3\xa9 &amp; "
             "more</TITLE></head><body>" +
             std::string(1200, 'x') + "=</body></html>";
    std::string head, body;
    split(smtp_compose(l), &head, &body);
    EXPECT_NE(head.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
    // The subject is the title, as an encoded word since it is not ASCII.
    EXPECT_NE(head.find("Subject: =?utf-8?B?"), std::string::npos) << head;
    EXPECT_EQ(smtp_subject(l.body), "Backup completed: caf\xc3\xa9 & more");
    size_t pos = 0, longest = 0;
    while (pos < body.size()) {
        size_t e = body.find("\r\n", pos);
        ASSERT_NE(e, std::string::npos);
        longest = std::max(longest, e - pos);
        pos = e + 2;
    }
    EXPECT_LE(longest, 76u);
    EXPECT_NE(body.find("caf=C3=A9"), std::string::npos);
    EXPECT_NE(body.find("=3D</body>"), std::string::npos);

    // Not UTF-8: an agent's Windows code page.
    l.body = "Sicherung abgeschlossen: B\xfc"
             "cher\n";
    split(smtp_compose(l), &head, &body);
    EXPECT_NE(head.find("charset=windows-1252"), std::string::npos) << head;
    EXPECT_NE(body.find("B=FCcher"), std::string::npos);

    EXPECT_EQ(smtp_subject(""), "Tavni Backup report");
    EXPECT_EQ(smtp_subject("<html>no title</html>"), "Tavni Backup report");
    EXPECT_EQ(smtp_subject("a\tb\x01  c\n"), "a b c");
    EXPECT_EQ(smtp_subject(std::string(300, 'y')).size(), 200u);
}

TEST(SmtpSettings, RelayAddressesAndRecipients) {
    std::string err;
    EXPECT_TRUE(smtp_url_check("smtp://relay.example.com", &err)) << err;
    EXPECT_TRUE(smtp_url_check("smtps://relay.example.com:465", &err)) << err;
    EXPECT_TRUE(smtp_url_check("smtp://[::1]:2525", &err)) << err;
    for (const char* bad : {"http://relay", "smtp://", "smtp://user:pw@relay", "smtp://relay/x",
                            "smtp://relay:0", "smtp://relay:99999", "smtp://relay:", "smtp://a b"})
        EXPECT_FALSE(smtp_url_check(bad, &err)) << bad;
    EXPECT_NE(err.find("host"), std::string::npos) << err;

    EXPECT_TRUE(smtp_address_ok("owner@example.com"));
    EXPECT_TRUE(smtp_address_ok("a.b+tag@sub.example.org"));
    for (const char* bad : {"internal-backup-agent", "", "@x", "a@", "a b@x", "a@x>\r\nRCPT",
                            "<a@x>", "a@x,b@y", "\"q\"@x"})
        EXPECT_FALSE(smtp_address_ok(bad)) << bad;
    EXPECT_FALSE(smtp_address_ok(std::string(250, 'a') + "@x.yz"));
}

TEST(SmtpSettings, TheLogInFileMustBeOwnerOnlyAndComplete) {
    temp_dir dir;
    const std::string path = (dir.path / "relay.login").string();
    auto write = [&](const std::string& text, std::filesystem::perms mode) {
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::trunc) << text;
        std::filesystem::permissions(path, mode);
    };
    using p = std::filesystem::perms;
    smtp_config cfg;
    std::string err;
    write("# the relay\nuser = backup\npassword=s3cret = yes\n", p::owner_read | p::owner_write);
    ASSERT_TRUE(smtp_credentials_load(path, &cfg, &err)) << err;
    EXPECT_EQ(cfg.user, "backup");
    EXPECT_EQ(cfg.password, "s3cret = yes");

    write("user=backup\npassword=x\n", p::owner_read | p::owner_write | p::group_read);
    EXPECT_FALSE(smtp_credentials_load(path, &cfg, &err));
    EXPECT_NE(err.find("may be read by others (mode 640)"), std::string::npos) << err;
    EXPECT_NE(err.find("chmod 600"), std::string::npos) << err;
    EXPECT_TRUE(cfg.user.empty());

    const std::string link = (dir.path / "link").string();
    write("user=backup\npassword=x\n", p::owner_read);
    std::filesystem::create_symlink(path, link);
    EXPECT_FALSE(smtp_credentials_load(link, &cfg, &err));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;

    write("user=backup\n", p::owner_read);
    EXPECT_FALSE(smtp_credentials_load(path, &cfg, &err));
    EXPECT_NE(err.find("both user=... and password=..."), std::string::npos) << err;
    write("user=backup\npassword=x\ntoken=y\n", p::owner_read);
    EXPECT_FALSE(smtp_credentials_load(path, &cfg, &err));
    EXPECT_NE(err.find("line 3: unknown name \"token\""), std::string::npos) << err;
    EXPECT_FALSE(smtp_credentials_load((dir.path / "none").string(), &cfg, &err));
    EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
}

} // namespace
