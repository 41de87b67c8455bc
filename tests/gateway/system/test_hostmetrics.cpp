#include "platform/hostmetrics.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

using platform::CpuTimes;
using platform::MemoryStatus;

TEST(HostMetrics, CpuTimesCountIdleAndIowaitAsNotBusy) {
    CpuTimes t;
    ASSERT_TRUE(platform::parse_cpu_times(
        "cpu  100 5 20 800 50 1 2 3 40 0\ncpu0 1 1 1 1 1 1 1 1\n", &t));
    EXPECT_EQ(t.total, 100u + 5 + 20 + 800 + 50 + 1 + 2 + 3);  // guest already in user
    EXPECT_EQ(t.busy, t.total - 850);
}

TEST(HostMetrics, CpuTimesRefuseMissingOrShortLine) {
    CpuTimes t{7, 9};
    EXPECT_FALSE(platform::parse_cpu_times("cpu0 1 2 3 4\n", &t));
    EXPECT_FALSE(platform::parse_cpu_times("cpu 1 2\n", &t));
    EXPECT_FALSE(platform::parse_cpu_times("", &t));
    EXPECT_EQ(t.busy, 7u);
}

TEST(HostMetrics, LoadIsBusyShareOfTheInterval) {
    EXPECT_DOUBLE_EQ(platform::cpu_load_percent({100, 1000}, {350, 2000}), 25.0);
    EXPECT_DOUBLE_EQ(platform::cpu_load_percent({100, 1000}, {100, 2000}), 0.0);
    EXPECT_TRUE(std::isnan(platform::cpu_load_percent({100, 1000}, {100, 1000})));
}

TEST(HostMetrics, MemoryNeedsTotalAndAvailable) {
    MemoryStatus m;
    ASSERT_TRUE(platform::parse_memory_status(
        "MemTotal:       16000000 kB\nMemFree:  100 kB\nMemAvailable:    4000000 kB\n", &m));
    EXPECT_EQ(m.total_bytes, 16000000ull * 1024);
    EXPECT_EQ(m.available_bytes, 4000000ull * 1024);
    EXPECT_FALSE(platform::parse_memory_status("MemTotal: 5 kB\nMemFree: 3 kB\n", &m));
}

TEST(HostMetrics, ReadsThisMachine) {
    CpuTimes t;
    ASSERT_TRUE(platform::read_cpu_times(&t));
    EXPECT_GT(t.total, 0u);
    EXPECT_LE(t.busy, t.total);

    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t mem_total_kib = 0;
    while (in >> key) {
        if (key == "MemTotal:") {
            in >> mem_total_kib;
            break;
        }
    }
    MemoryStatus m;
    ASSERT_TRUE(platform::read_memory_status(&m));
    EXPECT_EQ(m.total_bytes, mem_total_kib * 1024);
    EXPECT_LE(m.available_bytes, m.total_bytes);

    float celsius = -1000;
    std::ifstream zone0("/sys/class/thermal/thermal_zone0/temp");
    long milli = 0;
    if (zone0 >> milli) {
        ASSERT_TRUE(platform::read_cpu_temperature(&celsius));
        EXPECT_NEAR(celsius, milli / 1000.0, 5.0);
    } else {
        EXPECT_FALSE(platform::read_cpu_temperature(&celsius));
        EXPECT_EQ(celsius, -1000) << "no zone leaves the value alone";
    }
}
