#include <gtest/gtest.h>

#include <algorithm>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "tests/libbusrec/sessionharness.h"

using namespace busrectest;

namespace {

// Copies a (packed) field: the comparison macros bind references.
template <class T>
T val(T x) {
    return x;
}


// period_code 6: a diagnostic step every 20 ms after the first second.
std::vector<uint8_t> fast(std::vector<uint8_t> record) {
    linkscope::store_be16(record.data() + linkscope::EVT_OFF_STATUS, linkscope::make_status(2, 6));
    return record;
}

constexpr uint64_t MACROCYCLE = 10000;

// Sync, two periodic variables, a message; with `varying`, one more periodic identifier
// that changes from one macrocycle to the next.
std::vector<std::vector<uint8_t>> bus(int macrocycles, bool varying, uint16_t sync = 0x9080) {
    std::vector<std::vector<uint8_t>> out;
    for (int k = 0; k < macrocycles; ++k) {
        const uint64_t t = 1000 + k * MACROCYCLE;
        out.push_back(fast(id_frame(0x03, sync, 0, t)));
        out.push_back(fast(response({1}, 0, t + 50)));
        out.push_back(fast(id_frame(0x03, 0x0100, 0, t + 100)));
        out.push_back(fast(response({2}, 0, t + 150)));
        out.push_back(fast(id_frame(0x03, 0x0200, 0, t + 200)));
        out.push_back(fast(response({3}, 0, t + 250)));
        out.push_back(fast(id_frame(0x05, 0x0300, 0, t + 300)));
        if (varying) out.push_back(fast(id_frame(0x03, static_cast<uint16_t>(0x1400 + k), 0, t + 400)));
    }
    return out;
}

// A bus whose periodic cycle carries `identifiers` identifiers, more than a cycle record holds:
// sync, the identifiers 100 us apart, a message at +150 ms; one macrocycle every 200 ms.
constexpr uint64_t LONG_MACROCYCLE = 200000;
constexpr uint64_t LONG_STEP = 100;

std::vector<std::vector<uint8_t>> long_bus(int macrocycles, int identifiers) {
    std::vector<std::vector<uint8_t>> out;
    for (int k = 0; k < macrocycles; ++k) {
        const uint64_t t = 1000 + k * LONG_MACROCYCLE;
        out.push_back(fast(id_frame(0x03, 0x9080, 0, t)));
        for (int i = 1; i <= identifiers; ++i)
            out.push_back(fast(id_frame(0x03, static_cast<uint16_t>(0x2000 + i), 0, t + i * LONG_STEP)));
        out.push_back(fast(id_frame(0x05, 0x0300, 0, t + 150000)));
    }
    return out;
}

class Cycles : public ::testing::Test {
protected:
    std::unique_ptr<busrec_report> wait_for_result(SessionHarness& h) {
        EXPECT_TRUE(h.wait_for_report([](const busrec_report& r) { return r.cycle_count > 0; }));
        return h.report();
    }
};

TEST_F(Cycles, RepeatingCycleIsPublishedWithItsPeriod) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.deliver(bus(6, false)));
    auto r = wait_for_result(h);
    ASSERT_EQ(val(r->cycle_count), 2u);
    EXPECT_EQ(val(r->period), MACROCYCLE);
    EXPECT_EQ(val(r->cycles[0].type), unsigned(BUSREC_CYCLE_PERIODIC));
    ASSERT_EQ(val(r->cycles[0].count_or_time), 2u);
    EXPECT_EQ(val(r->cycles[0].identifiers[0]), 0x0100u);
    EXPECT_EQ(val(r->cycles[0].identifiers[1]), 0x0200u);
    EXPECT_EQ(val(r->cycles[1].type), unsigned(BUSREC_CYCLE_MESSAGE));
    ASSERT_EQ(val(r->cycles[1].count_or_time), 1u);
    EXPECT_EQ(val(r->cycles[1].identifiers[0]), 0x0300u);
    EXPECT_EQ(val(r->cycles[2].type), 0u);
}

TEST_F(Cycles, ChangingCycleIsReportedByItsTime) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.deliver(bus(8, true)));
    auto r = wait_for_result(h);
    ASSERT_EQ(val(r->cycle_count), 3u);
    EXPECT_EQ(val(r->period), MACROCYCLE);
    EXPECT_EQ(val(r->cycles[0].type), unsigned(BUSREC_CYCLE_PERIODIC));
    EXPECT_EQ(val(r->cycles[1].type), unsigned(BUSREC_CYCLE_MESSAGE));
    EXPECT_EQ(val(r->cycles[2].type), unsigned(BUSREC_CYCLE_VARIABLE));
    EXPECT_EQ(val(r->cycles[2].count_or_time), 300u);  // its start, 0x14kk at +400, from the run's start at +100
    EXPECT_EQ(val(r->cycles[2].identifiers[0]), 0u);
}

TEST_F(Cycles, OwnSyncIdentifierCutsTheCycles) {
    HarnessOptions options;
    options.sync_id = 0x0777;
    SessionHarness h(options);
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.deliver(bus(6, false, 0x0777)));
    auto r = wait_for_result(h);
    EXPECT_EQ(val(r->cycle_count), 2u);
    EXPECT_EQ(val(r->period), MACROCYCLE);
    EXPECT_EQ(val(r->sync_frames), 6u);
}

TEST_F(Cycles, CycleLongerThanARecordKeepsItsStartAndTheRealPeriod) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    const auto records = long_bus(6, 1200);
    for (std::size_t at = 0; at < records.size(); at += 800) {
        const auto end = records.begin() + std::min(records.size(), at + 800);
        ASSERT_TRUE(h.deliver(std::vector<std::vector<uint8_t>>(records.begin() + at, end)));
    }
    auto r = wait_for_result(h);
    ASSERT_EQ(val(r->cycle_count), 2u);
    // From the first identifier of one macrocycle to that of the next.
    EXPECT_EQ(val(r->period), LONG_MACROCYCLE);
    EXPECT_EQ(val(r->cycles[0].type), unsigned(BUSREC_CYCLE_PERIODIC));
    EXPECT_LE(val(r->cycles[0].count_or_time), 999u);
    EXPECT_EQ(val(r->cycles[1].type), unsigned(BUSREC_CYCLE_MESSAGE));
}

TEST_F(Cycles, TooFewRepetitionsPublishNothing) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.deliver(bus(2, false)));
    // Diagnostic steps run every 20 ms after the first second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(val(h.report()->cycle_count), 0u);
    EXPECT_EQ(val(h.report()->period), 0u);
}

}  // namespace
