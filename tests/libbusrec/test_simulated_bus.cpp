// A session on a simulated card: four stations, the highest of them absent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "libbusrec/include/busrec.h"
#include "tests/support/scratchdirectory.h"

namespace {

// Copies a (packed) field: the comparison macros bind references.
template <class T>
T val(T x) {
    return x;
}


constexpr unsigned STATIONS = 4;
constexpr unsigned PRESENT = 3;
constexpr uint32_t CYCLE_US = 20000;

std::atomic<uint64_t> data_calls{0};
void on_reset(busrec_sess*) {}
void on_error(busrec_sess*, int) {}
void on_data(busrec_sess*, const busrec_event*) { ++data_calls; }

class SimulatedBus : public ::testing::Test {
protected:
    // putenv (POSIX and the Windows C runtime alike) keeps the strings: they live as long as the program.
    static void SetUpTestSuite() {
        static const testsupport::ScratchDirectory lock_dir{"busrec-sim"};
        static std::string lock_setting = "LINKSCOPE_LOCK_DIR=" + lock_dir.path();
        static char sim_setting[] = "LINKSCOPE_SIM=stations=4,absent=1,period_code=3,cycle_us=20000,seed=7";
        ASSERT_EQ(putenv(lock_setting.data()), 0);
        ASSERT_EQ(putenv(sim_setting), 0);
        busrec_init();
    }
};

bool identified(const busrec_report& r) {
    if (r.cycle_count == 0) return false;
    for (unsigned s = 0; s < PRESENT; ++s)
        if (r.stations[s].text_8a[0] == 0 || r.stations[s].values[1] == 0) return false;
    return r.stations[PRESENT].absent_changes > 0;
}

TEST_F(SimulatedBus, SessionFindsTheStationsAndTheRepeatingCycle) {
    device_infos list[BUSREC_DEVICE_LIST_SIZE];
    int count = 0;
    ASSERT_EQ(busrec_device_list_get(list, &count), 0);
    ASSERT_EQ(count, 1);

    busrec_device* dev = busrec_device_open(1);
    ASSERT_NE(dev, nullptr);
    busrec_sess_cfg cfg{};
    cfg.device = dev;
    cfg.data_handler = on_data;
    cfg.reset_handler = on_reset;
    cfg.error_handler = on_error;
    busrec_sess* sess = busrec_sess_init(&cfg);
    ASSERT_NE(sess, nullptr);
    ASSERT_EQ(busrec_sess_start(sess), 0);

    std::unique_ptr<busrec_report> r(new busrec_report());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(busrec_sess_report_get(sess, r.get()), 0);
    } while (!identified(*r) && std::chrono::steady_clock::now() < until);
    ASSERT_EQ(busrec_sess_stop(sess), 0);
    ASSERT_EQ(busrec_sess_report_get(sess, r.get()), 0);
    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(busrec_device_close(dev), 0);

    EXPECT_GT(data_calls.load(), 0u);
    EXPECT_GT(val(r->correct_events), 0u);
    EXPECT_EQ(val(r->error_events), 0u);
    EXPECT_EQ(val(r->lost_frames), 0u);
    EXPECT_EQ(val(r->nm_byte3), PRESENT);
    for (unsigned s = 0; s < PRESENT; ++s) {
        const busrec_station& st = r->stations[s];
        char name[16];
        std::snprintf(name, sizeof name, "STATION-%03u", s);
        EXPECT_EQ(val(st.present), 1u) << s;
        EXPECT_EQ(val(st.absent_changes), 0u) << s;
        EXPECT_STREQ(st.text_80, "LINKSCOPE-SIM") << s;
        EXPECT_STREQ(st.text_81, "FIP I/O station") << s;
        EXPECT_STREQ(st.text_83, "V1.4.0") << s;
        EXPECT_STREQ(st.text_8a, name) << s;
        EXPECT_EQ(val(st.byte_82), 0x10 + s % 4) << s;
        EXPECT_EQ(val(st.byte_84), s) << s;
        EXPECT_EQ(val(st.values[1]), 0x0100 + s) << s;
        EXPECT_GE(val(st.values[3]), 250) << s;
        EXPECT_LT(val(st.values[3]), 300) << s;
        EXPECT_EQ(val(st.presence_low), s & 0x0F) << s;
        EXPECT_EQ(val(st.presence_high), 0x2u) << s;
    }
    for (unsigned s = PRESENT; s < BUSREC_STATION_COUNT; ++s) {
        EXPECT_EQ(val(r->stations[s].present), 0u) << s;
        EXPECT_EQ(val(r->stations[s].text_80[0]), 0) << s;
        EXPECT_GT(val(r->stations[s].missing_time), 0u) << s;
    }
    // The aperiodic window visits one station per macrocycle: the bus repeats every 4.
    ASSERT_GT(val(r->cycle_count), 0u);
    EXPECT_EQ(val(r->period), STATIONS * CYCLE_US);
    EXPECT_EQ(val(r->cycles[0].type), unsigned(BUSREC_CYCLE_PERIODIC));
    EXPECT_GT(val(r->cycles[0].count_or_time), 0u);
}

}  // namespace
