#include "gateway/system/system.h"

#include <cmath>
#include <filesystem>
#include <iostream>
#include <system_error>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

constexpr unsigned KIB_SHIFT = 10;
constexpr auto ROUND_PERIOD = std::chrono::seconds(1);
// CPU time is counted in ticks of 10 to 16 ms: a first reading needs a span of several ticks.
constexpr auto FIRST_LOAD_SPAN = std::chrono::milliseconds(100);

uint32_t to_kib(uint64_t bytes) { return static_cast<uint32_t>(bytes >> KIB_SHIFT); }

float percent_of(uint32_t part, uint32_t total) {
    return static_cast<float>(static_cast<double>(part) * 100.0 / static_cast<double>(total));
}

}  // namespace

// The load meter's first reading is taken here: the first round's load covers the time since.
System::System(FILE* log_stream) : log(log_stream) {
    running = true;
    per_sec_thread = std::thread(&System::_bkgd_per_sec_func, this);
}

System::~System() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        running = false;
    }
    wake.notify_all();
    if (per_sec_thread.joinable()) per_sec_thread.join();
}

SystemStats System::stats() const {
    std::lock_guard<std::mutex> lock(stats_mutex);
    return stats_;
}

void System::fill_memory(SystemStats* stats, uint64_t total_bytes, uint64_t available_bytes) {
    stats->ram_total = to_kib(total_bytes);
    stats->ram_available = to_kib(available_bytes);
    stats->ram_used = stats->ram_total - stats->ram_available;
    if (stats->ram_total == 0) return;
    stats->ram_used_pct = percent_of(stats->ram_used, stats->ram_total);
    stats->ram_available_pct = percent_of(stats->ram_available, stats->ram_total);
}

void System::fill_storage(SystemStats* stats, uint64_t capacity_bytes, uint64_t available_bytes) {
    stats->storage_total = to_kib(capacity_bytes);
    stats->storage_used = to_kib(capacity_bytes - available_bytes);
    stats->storage_available = to_kib(available_bytes);
    if (stats->storage_total == 0) return;
    stats->storage_used_pct = percent_of(stats->storage_used, stats->storage_total);
    stats->storage_available_pct = percent_of(stats->storage_available, stats->storage_total);
}

void System::sample_cpu(SystemStats* next) {
    double load = cpu_load_meter.read();
    if (std::isnan(load) && std::isnan(counter_value) && wait_for_stop(FIRST_LOAD_SPAN)) load = cpu_load_meter.read();
    if (!std::isnan(load)) counter_value = load;
    next->cpu_load = static_cast<float>(counter_value);
    sample_temperature(next, platform::read_cpu_temperature);
}

void System::sample_temperature(SystemStats* next, bool (*read)(float*)) {
    // A zone that disappears (a driver reload, a hot-unplugged sensor) keeps the last reading.
    float temperature = next->cpu_temperature;
    if (read(&temperature)) next->cpu_temperature = temperature;
}

void System::sample_storage(SystemStats* next) {
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(".", error);
    if (error) {
        std::cerr << error.message() << std::endl;
        return;
    }
    fill_storage(next, space.capacity, space.available);
}

void System::sample_round() {
    SystemStats next = stats();
    sample_cpu(&next);
    platform::MemoryStatus memory;
    if (platform::read_memory_status(&memory))
        fill_memory(&next, memory.total_bytes, memory.available_bytes);
    sample_storage(&next);
    {
        std::lock_guard<std::mutex> lock(stats_mutex);
        stats_ = next;
    }
    set_changed();
}

bool System::wait_for_stop(std::chrono::milliseconds span) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    return !wake.wait_for(lock, span, [this] { return !running.load(); });
}

void System::_bkgd_per_sec_func() {
    SystemStats fresh;
    fresh.start_date = boost::posix_time::microsec_clock::local_time();
    {
        std::lock_guard<std::mutex> lock(stats_mutex);
        stats_ = fresh;
    }
    set_changed();
    notify_observers();
    while (running) {
        sample_round();
        notify_observers();
        if (!wait_for_stop(ROUND_PERIOD)) break;
    }
}
