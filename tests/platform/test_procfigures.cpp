// The parsers of /proc figures on crafted text.
#include "platform/linux/procfigures.h"

#include <cmath>

#include <gtest/gtest.h>

#include "platform/hostmetrics.h"

using platform::CpuTimes;
using platform::MemoryStatus;

TEST(ProcFigures, CpuTimesCountIdleAndIowaitAsNotBusy) {
    CpuTimes t;
    ASSERT_TRUE(platform::parse_cpu_times(
        "cpu  100 5 20 800 50 1 2 3 40 0\ncpu0 1 1 1 1 1 1 1 1\n", &t));
    EXPECT_EQ(t.total, 100u + 5 + 20 + 800 + 50 + 1 + 2 + 3);  // guest already in user
    EXPECT_EQ(t.busy, t.total - 850);
}

TEST(ProcFigures, CpuTimesRefuseMissingOrShortLine) {
    CpuTimes t{7, 9};
    EXPECT_FALSE(platform::parse_cpu_times("cpu0 1 2 3 4\n", &t));
    EXPECT_FALSE(platform::parse_cpu_times("cpu 1 2\n", &t));
    EXPECT_FALSE(platform::parse_cpu_times("", &t));
    EXPECT_EQ(t.busy, 7u);
}

TEST(ProcFigures, LoadIsBusyShareOfTheInterval) {
    EXPECT_DOUBLE_EQ(platform::cpu_load_percent({100, 1000}, {350, 2000}), 25.0);
    EXPECT_DOUBLE_EQ(platform::cpu_load_percent({100, 1000}, {100, 2000}), 0.0);
    EXPECT_TRUE(std::isnan(platform::cpu_load_percent({100, 1000}, {100, 1000})));
    EXPECT_TRUE(std::isnan(platform::cpu_load_percent({500, 1000}, {400, 2000}))) << "a counter going back";
}

TEST(ProcFigures, MemoryNeedsTotalAndAvailable) {
    MemoryStatus m;
    ASSERT_TRUE(platform::parse_memory_status(
        "MemTotal:       16000000 kB\nMemFree:  100 kB\nMemAvailable:    4000000 kB\n", &m));
    EXPECT_EQ(m.total_bytes, 16000000ull * 1024);
    EXPECT_EQ(m.available_bytes, 4000000ull * 1024);
    EXPECT_FALSE(platform::parse_memory_status("MemTotal: 5 kB\nMemFree: 3 kB\n", &m));
}
