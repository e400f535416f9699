// mailer_test.cpp - the server's mailer against a relay that never answers:
// requests are served all the while, and a stop ends the try at once and
// leaves the report due, its try not counted.
#include "server_fixture.h"
#include "tools/server/smtp_client.h"

#include <chrono>
#include <ctime>

namespace {

struct MailerTest : server_fixture {
    plat_net relay = PLAT_NET_INVALID; // listens, accepts, never says a word
    uint16_t relay_port = 0;

    void SetUp() override {
        relay = plat_net_listen("127.0.0.1", 0, &relay_port);
        ASSERT_NE(relay, PLAT_NET_INVALID);
        cfg.smtp.url = "smtp://127.0.0.1:" + std::to_string(relay_port);
        cfg.smtp.from = "backup@example.com";
        cfg.smtp.connect_timeout_s = 600; // a try that hangs would hold a stop for minutes
        cfg.smtp.timeout_s = 600;
        cfg.mail_poll_ms = 50;
        server_fixture::SetUp();
    }
    void TearDown() override {
        server_fixture::TearDown();
        plat_net_close(relay);
    }
};

TEST_F(MailerTest, ARelayThatHangsNeitherHoldsRequestsNorAStop) {
    std::string why;
    if (!smtp_available(&why)) GTEST_SKIP() << why;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    ASSERT_EQ(st->cat.ops->mail_add(st->cat.self, cat_mail{0, 7, 1, "owner@example.com", now,
                                                           "Tavni Backup: backup completed\n"}),
              CAT_OK);
    // The mailer's connection arrives: its try is under way, and hangs.
    plat_net held = PLAT_NET_INVALID;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (held == PLAT_NET_INVALID && std::chrono::steady_clock::now() < deadline)
        held = plat_net_accept(relay, 200);
    ASSERT_NE(held, PLAT_NET_INVALID) << "the mailer never reached the relay";

    tc_conn c;
    session(&c, host1);
    tc_close(&c);

    const auto before = std::chrono::steady_clock::now();
    stop();
    const auto took = std::chrono::steady_clock::now() - before;
    plat_net_close(held);
    EXPECT_LT(took, std::chrono::seconds(60)) << "the stop waited for the relay";

    std::string err;
    st = srv_store_open(dir, false, &err);
    ASSERT_NE(st, nullptr) << err;
    std::vector<cat_delivery> all;
    ASSERT_EQ(st->cat.ops->outbox_list(st->cat.self, 0, &all), CAT_OK);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].state, CAT_DLV_QUEUED);
    EXPECT_EQ(all[0].attempts, 0u);
    // Its claim ended with the stop: the next process sends it at once.
    std::vector<cat_delivery> due;
    int64_t next_due = 0;
    ASSERT_EQ(
        st->cat.ops->outbox_claim(st->cat.self, all[0].next_try, 10, "next", 600, &due, &next_due),
        CAT_OK);
    EXPECT_EQ(due.size(), 1u);
}

} // namespace
