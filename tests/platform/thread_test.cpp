// thread_test.cpp - threads: timed waits, exit codes and giving up a thread.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct gate {
    std::atomic<bool> open{false};
    std::atomic<bool> finished{false};
};

int return_seven(void*) {
    return 7;
}

int wait_for_gate(void* arg) {
    gate* g = static_cast<gate*>(arg);
    while (!g->open.load())
        plat_sleep_ms(2);
    g->finished.store(true);
    return 3;
}

void finish(gate* g) {
    g->open.store(true);
    while (!g->finished.load())
        plat_sleep_ms(2);
}

} // namespace

TEST(PlatformThread, EndedThreadGivesItsExitCode) {
    plat_thread* t = plat_thread_start(return_seven, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(plat_thread_wait(t, 60000), PLAT_WAIT_ENDED);
    int code = -1;
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 7);
    // A second wait on an ended thread answers at once.
    EXPECT_EQ(plat_thread_wait(t, 0), PLAT_WAIT_ENDED);
    plat_thread_close(t);
}

TEST(PlatformThread, WaitTimesOutWhileRunningAndHasNoExitCodeYet) {
    gate g;
    plat_thread* t = plat_thread_start(wait_for_gate, &g);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(plat_thread_wait(t, 20), PLAT_WAIT_TIMEOUT);
    int code = 0;
    EXPECT_EQ(plat_thread_exit_code(t, &code), -1);
    g.open.store(true);
    EXPECT_EQ(plat_thread_wait(t, 60000), PLAT_WAIT_ENDED);
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 3);
    plat_thread_close(t);
}

TEST(PlatformThread, TerminatedThreadReadsAsEndedWithTheGivenCode) {
    gate g;
    plat_thread* t = plat_thread_start(wait_for_gate, &g);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(plat_thread_terminate(t, 1), 0);
    EXPECT_EQ(plat_thread_wait(t, 0), PLAT_WAIT_ENDED);
    int code = 0;
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 1);
    // Closing the handle of a thread still running must not disturb it, and
    // its later end must not change the code it was given.
    plat_thread_close(t);
    // Where the platform really killed it, the body never finishes.
    if (plat_thread_needs_process_exit()) finish(&g);
}

TEST(PlatformThread, TerminateAfterTheEndKeepsTheRealCode) {
    plat_thread* t = plat_thread_start(return_seven, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(plat_thread_wait(t, 60000), PLAT_WAIT_ENDED);
    plat_thread_terminate(t, 1);
    int code = 0;
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 7);
    plat_thread_close(t);
}

// The watchdog gives a thread up after a wait found it running; whatever the
// thread does afterwards (on Linux the dump's signal may wake it and let it
// return), it counts as ended with the code it was given up with.
TEST(PlatformThread, AThreadGivenUpKeepsTheGivenCodeWhateverItDoesNext) {
    gate g;
    plat_thread* t = plat_thread_start(wait_for_gate, &g);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(plat_thread_wait(t, 10), PLAT_WAIT_TIMEOUT);
    ASSERT_EQ(plat_thread_terminate(t, 1), 0);
    if (plat_thread_needs_process_exit()) finish(&g); // the body returns 3 now
    EXPECT_EQ(plat_thread_wait(t, 60000), PLAT_WAIT_ENDED);
    int code = 0;
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 1);
    plat_thread_close(t);

    // Returned by itself between the timed-out wait and the give-up.
    t = plat_thread_start(return_seven, nullptr);
    ASSERT_NE(t, nullptr);
    while (plat_thread_exit_code(t, &code) != 0) // ended, but no wait saw it
        plat_sleep_ms(1);
    ASSERT_EQ(code, 7);
    ASSERT_EQ(plat_thread_terminate(t, 1), 0);
    EXPECT_EQ(plat_thread_wait(t, 0), PLAT_WAIT_ENDED);
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 1);
    plat_thread_close(t);
}
