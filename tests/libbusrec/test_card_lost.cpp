// A session whose simulated card is unplugged while it captures: after 1 s of failed waits
// the session gives the card up, says so in its report and tells the host on its own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "libbusrec/include/busrec.h"
#include "tests/support/scratchdirectory.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> error_calls{0}, error_code{0}, state_seen_by_handler{-1};
std::atomic<bool> handler_on_caller_thread{false};
const std::thread::id caller_thread = std::this_thread::get_id();

void on_reset(busrec_sess*) {}
void on_error(busrec_sess* sess, int code) {
    static busrec_report r;
    if (busrec_sess_report_get(sess, &r) == 0) state_seen_by_handler = r.state;
    handler_on_caller_thread = std::this_thread::get_id() == caller_thread;
    error_code = code;
    ++error_calls;
}

TEST(CardLost, UnpluggedCardEndsTheRunAndCallsTheErrorHandler) {
    static const testsupport::ScratchDirectory lock_dir{"busrec-lost"};
    static std::string lock_setting = "LINKSCOPE_LOCK_DIR=" + lock_dir.path();
    static char sim_setting[] = "LINKSCOPE_SIM=unplug_ms=300";  // after the device's first open
    ASSERT_EQ(putenv(lock_setting.data()), 0);
    ASSERT_EQ(putenv(sim_setting), 0);
    busrec_init();
    const auto opened = std::chrono::steady_clock::now();
    busrec_device* dev = busrec_device_open(1);
    ASSERT_NE(dev, nullptr);
    busrec_sess_cfg cfg{};
    cfg.device = dev;
    cfg.reset_handler = on_reset;
    cfg.error_handler = on_error;
    busrec_sess* sess = busrec_sess_init(&cfg);
    ASSERT_NE(sess, nullptr);
    ASSERT_EQ(busrec_sess_start(sess), 0);

    while (error_calls == 0 && std::chrono::steady_clock::now() < opened + 15s) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(error_calls.load(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - opened, 1300ms) << "given up before 1 s of failed waits";
    EXPECT_EQ(error_code.load(), BUSREC_E_CARD_LOST);
    EXPECT_EQ(state_seen_by_handler.load(), BUSREC_STATE_CARD_LOST);
    EXPECT_FALSE(handler_on_caller_thread.load());

    static busrec_report r;
    ASSERT_EQ(busrec_sess_report_get(sess, &r), 0);
    // Copies: the report's fields are packed.
    const int state = r.state;
    const uint64_t correct = r.correct_events, start = r.start_time, stop = r.stop_time, elapsed = r.elapsed;
    EXPECT_EQ(state, BUSREC_STATE_CARD_LOST);
    EXPECT_GT(correct, 0u) << "the card delivered before it was unplugged";
    EXPECT_EQ(stop, start + elapsed);
    EXPECT_GE(elapsed, 1000000u);

    errno = 0;
    EXPECT_EQ(busrec_sess_start(sess), -1);
    EXPECT_EQ(errno, BUSREC_E_CARD_LOST);
    EXPECT_EQ(busrec_sess_stop(sess), 0);
    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(busrec_device_close(dev), 0);
}

}  // namespace
