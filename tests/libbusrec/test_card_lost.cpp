// A session whose simulated card is unplugged while it captures: after 1 s of failed waits
// the session gives the card up, says so in its report and tells the host once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "libbusrec/include/busrec.h"
#include "tests/support/scratchdirectory.h"

namespace {

using namespace std::chrono_literals;

constexpr auto UNPLUG_AFTER = 300ms;  // from the device's first open: see LINKSCOPE_SIM below

std::atomic<int> reset_calls{0};
std::atomic<int> error_calls{0};
std::atomic<int> error_code{0};
std::mutex error_mutex;
std::thread::id error_thread;
uint16_t state_in_handler = 0xFFFF;

void on_reset(busrec_sess*) { ++reset_calls; }
void on_error(busrec_sess* sess, int code) {
    std::unique_ptr<busrec_report> r(new busrec_report());
    std::lock_guard<std::mutex> lock(error_mutex);
    if (busrec_sess_report_get(sess, r.get()) == 0) state_in_handler = r->state;
    error_thread = std::this_thread::get_id();
    error_code = code;
    ++error_calls;
}

TEST(CardLost, UnpluggedCardEndsTheSessionAndCallsTheErrorHandlerOnce) {
    static const testsupport::ScratchDirectory lock_dir{"busrec-lost"};
    static std::string lock_setting = "LINKSCOPE_LOCK_DIR=" + lock_dir.path();
    static char sim_setting[] = "LINKSCOPE_SIM=unplug_ms=300,stations=4,absent=1";
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

    const auto deadline = opened + 15s;
    while (error_calls == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(error_calls.load(), 1) << "the error handler was not called";
    EXPECT_GE(std::chrono::steady_clock::now() - opened, UNPLUG_AFTER + 1s) << "given up before 1 s of failed waits";
    {
        std::lock_guard<std::mutex> lock(error_mutex);
        EXPECT_EQ(error_code.load(), BUSREC_E_CARD_LOST);
        EXPECT_NE(error_thread, std::this_thread::get_id());
        EXPECT_EQ(state_in_handler, BUSREC_STATE_CARD_LOST);
    }

    std::unique_ptr<busrec_report> r(new busrec_report());
    ASSERT_EQ(busrec_sess_report_get(sess, r.get()), 0);
    // Copies: the report's fields are packed.
    const uint16_t state = r->state;
    const uint64_t correct = r->correct_events, start = r->start_time, stop = r->stop_time, elapsed = r->elapsed;
    EXPECT_EQ(state, BUSREC_STATE_CARD_LOST);
    EXPECT_GT(correct, 0u) << "the card delivered before it was unplugged";
    EXPECT_EQ(stop, start + elapsed);
    EXPECT_GE(elapsed, 1000000u);

    errno = 0;
    EXPECT_EQ(busrec_sess_start(sess), -1);
    EXPECT_EQ(errno, BUSREC_E_CARD_LOST);
    EXPECT_EQ(busrec_sess_stop(sess), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(error_calls.load(), 1) << "called once only";
    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(reset_calls.load(), 2);
    EXPECT_EQ(busrec_device_close(dev), 0);
}

}  // namespace
