#include <gtest/gtest.h>

#include <string>

#include "common/driver/controlbyte.h"
#include "common/driver/framecheck.h"
#include "tests/sim/simcardtest.h"

namespace {

using namespace linkscope;
using namespace simtest;

struct FaultCount {
    uint64_t indices = 0;  // frames the card counted, delivered or lost
    uint64_t lost = 0;
    uint64_t fcs = 0;
    uint64_t status = 0;
    uint64_t unknown = 0;
};

FaultCount count_faults(const std::string& settings, int blocks) {
    auto card = make_card("speed=max,fcs_mode=1," + settings);
    start(*card, 0);
    FaultCount c;
    uint64_t last = 0;
    for (const auto& e : read_events(*card, blocks)) {
        c.lost += e.index - last - 1;
        last = e.index;
        if (e.status & STATUS_RX_ERROR_MASK) ++c.status;
        if (!ControlByte::is_known(e.frame[0]))
            ++c.unknown;
        else if (!FrameCheck::frame_is_correct(FCS_MODE_1021, e.frame.data(), e.frame.size()))
            ++c.fcs;
    }
    c.indices = last;
    return c;
}

struct FaultCase {
    const char* key;
    uint64_t FaultCount::*counter;
};

class InjectedFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(InjectedFault, AppearsAtAboutItsRateAndAlone) {
    const FaultCase& f = GetParam();
    const FaultCount c = count_faults(std::string(f.key) + "=0.01", 60);
    ASSERT_GT(c.indices, 40000u);
    const double expected = c.indices * 0.01;
    EXPECT_GT(c.*f.counter, expected * 0.7) << f.key;
    EXPECT_LT(c.*f.counter, expected * 1.3) << f.key;
    for (uint64_t FaultCount::*other : {&FaultCount::lost, &FaultCount::fcs, &FaultCount::status, &FaultCount::unknown}) {
        if (other != f.counter) {
            EXPECT_EQ(c.*other, 0u) << f.key;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, InjectedFault,
                         ::testing::Values(FaultCase{"fcs_err", &FaultCount::fcs}, FaultCase{"loss", &FaultCount::lost},
                                           FaultCase{"status_err", &FaultCount::status},
                                           FaultCase{"unknown", &FaultCount::unknown}),
                         [](const auto& info) { return std::string(info.param.key); });

TEST(InjectedFaults, RateOneHitsEveryFrame) {
    const FaultCount c = count_faults("fcs_err=1,status_err=1", 2);
    ASSERT_GT(c.indices, 0u);
    EXPECT_EQ(c.fcs, c.indices);
    EXPECT_EQ(c.status, c.indices);
}

TEST(InjectedFaults, ACleanBusHasNone) {
    const FaultCount c = count_faults("seed=5", 20);
    ASSERT_GT(c.indices, 10000u);
    EXPECT_EQ(c.lost + c.fcs + c.status + c.unknown, 0u);
}

}  // namespace
