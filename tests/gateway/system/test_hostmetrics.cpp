// The host figures of this machine through the platform's interface. Hosts that report no
// figure (Wine's counters and WMI answer nothing) must leave it unset, not invent one.
#include "platform/hostmetrics.h"

#include <chrono>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(HostMetrics, LoadIsAPercentageOrUnset) {
    platform::CpuLoadMeter meter;
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const double load = meter.read();
        if (std::isnan(load)) continue;
        EXPECT_GE(load, 0.0) << round;
        EXPECT_LE(load, 100.0) << round;
    }
}

TEST(HostMetrics, AReadRightAfterAnotherNeverGivesAFigureOutsideTheRange) {
    platform::CpuLoadMeter meter;
    const double first = meter.read();
    const double second = meter.read();
    for (double load : {first, second})
        if (!std::isnan(load)) {
            EXPECT_GE(load, 0.0);
            EXPECT_LE(load, 100.0);
        }
}

TEST(HostMetrics, MemoryOfThisMachine) {
    platform::MemoryStatus m;
    ASSERT_TRUE(platform::read_memory_status(&m));
    EXPECT_GT(m.total_bytes, 16ull << 20);
    EXPECT_GT(m.available_bytes, 0u);
    EXPECT_LE(m.available_bytes, m.total_bytes);
}

TEST(HostMetrics, TemperatureIsStoredOnlyWhenAZoneAnswers) {
    float celsius = -1000;
    if (platform::read_cpu_temperature(&celsius)) {
        if (!std::isnan(celsius)) {
            EXPECT_GT(celsius, -60.0f);
            EXPECT_LT(celsius, 150.0f);
        }
    } else {
        EXPECT_EQ(celsius, -1000) << "no zone leaves the value alone";
    }
    EXPECT_FALSE(platform::read_cpu_temperature(nullptr));
}

}  // namespace
