// The one rule for a sender's lifesign period and its silence, which the metrics and the MQTT
// summaries and states share.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tools/busdump/lifesignclock.h"

using busdump::LifesignClock;

namespace {

constexpr int64_t SECOND = 1000000;
constexpr int64_t DEFAULT = LifesignClock::DEFAULT_PERIOD_US;

struct Lifesign {
    uint32_t counter;
    int64_t created_us;
};

LifesignClock clock_of(const std::vector<Lifesign>& lifesigns) {
    LifesignClock clock;
    for (const Lifesign& l : lifesigns) {
        auto record = std::make_shared<LifesignRecord>();
        record->counter = l.counter;
        record->created_us = l.created_us;
        clock.observe(record);
    }
    return clock;
}

struct PeriodCase {
    const char* what;
    std::vector<Lifesign> lifesigns;
    int64_t period_us;
};

TEST(LifesignClock, ConsecutiveLifesignsOfOneRunGiveThePeriodAndThreeOfItSilence) {
    const PeriodCase cases[] = {
        {"none yet: the default", {}, DEFAULT},
        {"one: the default", {{1, 5 * SECOND}}, DEFAULT},
        {"two in a row", {{1, 5 * SECOND}, {2, 5 * SECOND + 200000}}, 200000},
        {"two lost between: three periods", {{1, 5 * SECOND}, {4, 5 * SECOND + 600000}}, 200000},
        {"the latest two tell", {{1, 0}, {2, SECOND}, {3, SECOND + 250000}}, 250000},
        {"a restart (number back) alone: none", {{7, 10 * SECOND}, {1, 11 * SECOND}}, DEFAULT},
        {"a restart keeps the period known", {{7, 10 * SECOND}, {8, 12 * SECOND}, {1, 13 * SECOND}}, 2 * SECOND},
        {"the new run's own two", {{7, 10 * SECOND}, {8, 12 * SECOND}, {1, 13 * SECOND}, {2, 13 * SECOND + 400000}},
         400000},
        {"clock stepped back: none", {{1, 10 * SECOND}, {2, 9 * SECOND}}, DEFAULT},
        {"clock stood still: none", {{1, 10 * SECOND}, {2, 10 * SECOND}}, DEFAULT},
        {"the same lifesign twice: none", {{1, 10 * SECOND}, {1, 11 * SECOND}}, DEFAULT},
        {"the largest step of one run", {{1, 0}, {1 + LifesignClock::LARGEST_STEP, 999 * SECOND}}, SECOND},
        {"a number further on is another run", {{1, 0}, {2 + LifesignClock::LARGEST_STEP, 1000 * SECOND}}, DEFAULT},
        {"the number wraps within a run", {{0xFFFFFFFFu, 10 * SECOND}, {0, 10 * SECOND + 500000}}, 500000},
    };
    const int64_t heard = 100 * SECOND;
    for (const PeriodCase& c : cases) {
        const LifesignClock clock = clock_of(c.lifesigns);
        EXPECT_EQ(clock.period_us(), c.period_us) << c.what;
        EXPECT_EQ(clock.latest() != nullptr, !c.lifesigns.empty()) << c.what;
        if (clock.latest()) {
            EXPECT_EQ(clock.latest()->created_us, c.lifesigns.back().created_us) << c.what;
        }
        EXPECT_FALSE(clock.silent(heard, heard + 3 * c.period_us - 1)) << c.what;
        EXPECT_TRUE(clock.silent(heard, heard + 3 * c.period_us)) << c.what;
    }
}

TEST(LifesignClock, ANewRunTakenOverKeepsThePeriodUntilItKnowsItsOwn) {
    LifesignClock gateway = clock_of({{7, 10 * SECOND}, {8, 12 * SECOND}});
    // The new run was followed apart until its first lifesign named the card.
    gateway.take_over(clock_of({{1, 20 * SECOND}}));
    EXPECT_EQ(gateway.period_us(), 2 * SECOND);
    EXPECT_EQ(gateway.latest()->counter, 1u);
    gateway.take_over(clock_of({{1, 20 * SECOND}, {2, 20 * SECOND + 300000}}));
    EXPECT_EQ(gateway.period_us(), 300000);
    gateway.take_over(LifesignClock());
    EXPECT_EQ(gateway.latest()->counter, 2u) << "a run without lifesigns leaves the latest one";
}

}  // namespace
