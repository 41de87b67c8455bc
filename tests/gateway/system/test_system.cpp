#include "gateway/system/system.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

class RecordingObserver : public Observer {
public:
    void update(Observable* source) override {
        auto* sampler = dynamic_cast<System*>(source);
        ASSERT_NE(sampler, nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(sampler->stats());
        arrived.notify_all();
    }
    bool wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() >= count; });
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<SystemStats> seen;
};

}  // namespace

TEST(SystemStats, DefaultsAreUnset) {
    const SystemStats s;
    EXPECT_TRUE(s.start_date.is_not_a_date_time());
    EXPECT_TRUE(s.duration.is_not_a_date_time());
    for (float f : {s.cpu_load, s.cpu_temperature, s.ram_used_pct, s.ram_available_pct,
                    s.storage_used_pct, s.storage_available_pct})
        EXPECT_TRUE(std::isnan(f));
    EXPECT_EQ(s.ram_total + s.ram_used + s.ram_available, 0u);
    EXPECT_EQ(s.storage_total + s.storage_used + s.storage_available, 0u);
}

TEST(SystemFigures, MemoryInKibWithPercentages) {
    SystemStats s;
    System::fill_memory(&s, 4096ull * 1024, 1024ull * 1024);
    EXPECT_EQ(s.ram_total, 4096u);
    EXPECT_EQ(s.ram_available, 1024u);
    EXPECT_EQ(s.ram_used, 3072u);
    EXPECT_FLOAT_EQ(s.ram_used_pct, 75.0f);
    EXPECT_FLOAT_EQ(s.ram_available_pct, 25.0f);
}

TEST(SystemFigures, ZeroTotalKeepsPercentages) {
    SystemStats s;
    s.ram_used_pct = 12.5f;
    s.storage_available_pct = 7.0f;
    System::fill_memory(&s, 0, 0);
    System::fill_storage(&s, 1023, 0);  // less than one KiB
    EXPECT_FLOAT_EQ(s.ram_used_pct, 12.5f);
    EXPECT_TRUE(std::isnan(s.ram_available_pct));
    EXPECT_FLOAT_EQ(s.storage_available_pct, 7.0f);
}

TEST(SystemFigures, VolumeBeyondFourTebibytesTruncatesTo32Bits) {
    SystemStats s;
    const uint64_t five_tib = 5ull << 40;
    System::fill_storage(&s, five_tib, five_tib / 5);
    EXPECT_EQ(s.storage_total, static_cast<uint32_t>(five_tib >> 10));
    EXPECT_EQ(s.storage_available, static_cast<uint32_t>((five_tib / 5) >> 10));
    EXPECT_EQ(s.storage_used, static_cast<uint32_t>((five_tib - five_tib / 5) >> 10));
}

namespace thermal {
float reading = 0;
bool present = false;
bool read(float* celsius) {
    if (!present) return false;
    *celsius = reading;
    return true;
}
}  // namespace thermal

TEST(SystemFigures, TemperatureKeepsTheLastReadingWhenTheZoneGoes) {
    SystemStats s;
    thermal::present = false;
    System::sample_temperature(&s, thermal::read);
    EXPECT_TRUE(std::isnan(s.cpu_temperature));  // never read yet
    thermal::present = true;
    thermal::reading = 41.5f;
    System::sample_temperature(&s, thermal::read);
    EXPECT_FLOAT_EQ(s.cpu_temperature, 41.5f);
    thermal::present = false;
    thermal::reading = -99.0f;
    System::sample_temperature(&s, thermal::read);
    System::sample_temperature(&s, thermal::read);
    EXPECT_FLOAT_EQ(s.cpu_temperature, 41.5f);
    thermal::present = true;
    thermal::reading = 43.0f;
    System::sample_temperature(&s, thermal::read);
    EXPECT_FLOAT_EQ(s.cpu_temperature, 43.0f);
}

TEST(System, FirstNotificationHasStartDateThenMeasurements) {
    auto observer = std::make_shared<RecordingObserver>();
    auto sampler = std::make_shared<System>(stdout);
    sampler->attach(observer);
    // The first notification may already have passed before attach; wait for two more.
    ASSERT_TRUE(observer->wait_for(2));
    std::lock_guard<std::mutex> lock(observer->mutex);
    const SystemStats& s = observer->seen.back();
    EXPECT_FALSE(s.start_date.is_not_a_date_time());
    EXPECT_TRUE(s.duration.is_not_a_date_time());
    // Hosts whose counters give nothing (Wine's) leave the load unset; the others must fill it.
    platform::CpuLoadMeter meter;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (std::isnan(meter.read())) {
        EXPECT_TRUE(std::isnan(s.cpu_load));
    } else {
        EXPECT_GE(s.cpu_load, 0.0f);
        EXPECT_LE(s.cpu_load, 100.0f);
    }

    platform::MemoryStatus memory;
    ASSERT_TRUE(platform::read_memory_status(&memory));
    EXPECT_EQ(s.ram_total, static_cast<uint32_t>(memory.total_bytes >> 10));
    EXPECT_EQ(s.ram_used + s.ram_available, s.ram_total);
    EXPECT_NEAR(s.ram_used_pct + s.ram_available_pct, 100.0f, 0.01f);

    const auto space = std::filesystem::space(".");
    EXPECT_EQ(s.storage_total, static_cast<uint32_t>(space.capacity >> 10));
    EXPECT_EQ(s.storage_used + s.storage_available, s.storage_total);
}

TEST(System, DestructorDoesNotWaitOutTheRound) {
    auto observer = std::make_shared<RecordingObserver>();
    auto sampler = std::make_shared<System>(stdout);
    sampler->attach(observer);
    ASSERT_TRUE(observer->wait_for(1));
    const auto before = std::chrono::steady_clock::now();
    sampler.reset();
    const auto took = std::chrono::steady_clock::now() - before;
    // A round sleeps one second; a stop request must cut it short.
    EXPECT_LT(took, std::chrono::milliseconds(800));
}
