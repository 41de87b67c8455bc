// Sessions started again and again while a simulated card delivers at full speed: no event
// that a running session counts may bypass its data handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "libbusrec/include/busrec.h"
#include "tests/support/scratchdirectory.h"

namespace {

constexpr int STARTS = 1000;

// Written by the data handler, which runs on the session's interrupt handler thread: the only
// thread that analyses events, so the report it reads there holds still.
std::atomic<uint64_t> delivered{0};
// The handler stops the session itself, on the thread that calls it: once it has, no call
// of this run is still on its way when the test starts the next one.
constexpr uint64_t EVENTS_PER_RUN = 2;
std::atomic<bool> stopped_by_handler{false};
std::atomic<int> mismatched_starts{0};
std::atomic<uint64_t> last_mismatch{0};
std::unique_ptr<busrec_report> seen_by_handler(new busrec_report());

uint64_t counted(const busrec_report& r) { return r.correct_events + r.error_events - r.lost_frames; }

void on_reset(busrec_sess*) {}
void on_error(busrec_sess*, int) {}
void on_data(busrec_sess* sess, const busrec_event*) {
    const uint64_t n = ++delivered;
    if (n > EVENTS_PER_RUN) {
        ++mismatched_starts;  // handed on after the stop
        return;
    }
    if (busrec_sess_report_get(sess, seen_by_handler.get()) == 0 && counted(*seen_by_handler) != n) {
        ++mismatched_starts;
        last_mismatch = counted(*seen_by_handler) - n;
    }
    if (n == EVENTS_PER_RUN && busrec_sess_stop(sess) == 0) stopped_by_handler = true;
}

class FullSpeedCard : public ::testing::Test {
protected:
    // putenv (POSIX and the Windows C runtime alike) keeps the strings: they live as long as the program.
    static void SetUpTestSuite() {
        static const testsupport::ScratchDirectory lock_dir{"busrec-start"};
        static std::string lock_setting = "LINKSCOPE_LOCK_DIR=" + lock_dir.path();
        static char sim_setting[] = "LINKSCOPE_SIM=stations=8,absent=1,speed=max,seed=3";
        ASSERT_EQ(putenv(lock_setting.data()), 0);
        ASSERT_EQ(putenv(sim_setting), 0);
        busrec_init();
    }
};

bool wait_until(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

TEST_F(FullSpeedCard, EveryEventCountedAfterAStartReachesTheDataHandler) {
    busrec_device* dev = busrec_device_open(1);
    ASSERT_NE(dev, nullptr);
    busrec_sess_cfg cfg{};
    cfg.device = dev;
    cfg.data_handler = on_data;
    cfg.reset_handler = on_reset;
    cfg.error_handler = on_error;
    busrec_sess* sess = busrec_sess_init(&cfg);
    ASSERT_NE(sess, nullptr);

    std::unique_ptr<busrec_report> r(new busrec_report());
    for (int k = 0; k < STARTS; ++k) {
        delivered = 0;
        stopped_by_handler = false;
        ASSERT_EQ(busrec_sess_start(sess), 0) << k;
        ASSERT_TRUE(wait_until([] { return stopped_by_handler.load(); })) << k;
        ASSERT_EQ(busrec_sess_report_get(sess, r.get()), 0);
        EXPECT_EQ(static_cast<int>(r->state), BUSREC_STATE_STOPPED);
    }
    EXPECT_EQ(mismatched_starts.load(), 0) << "last difference: " << last_mismatch.load();

    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(busrec_device_close(dev), 0);
}

}  // namespace
