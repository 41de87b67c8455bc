// Host health figures from the operating system: CPU times, CPU temperature, physical memory.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Cumulative CPU time of all processors, in clock ticks.
struct CpuTimes {
    uint64_t busy = 0;
    uint64_t total = 0;
};

// Parses the aggregate "cpu" line of /proc/stat; false when it is missing or malformed.
bool parse_cpu_times(const std::string& proc_stat, CpuTimes* out);
bool read_cpu_times(CpuTimes* out);

// Busy share of the time between two readings, in percent; NaN when no time has passed.
double cpu_load_percent(const CpuTimes& before, const CpuTimes& after);

// The first thermal zone of the host, in degrees Celsius; false when there is none.
bool read_cpu_temperature(float* celsius);

struct MemoryStatus {
    uint64_t total_bytes = 0;
    uint64_t available_bytes = 0;
};

// Parses MemTotal and MemAvailable of /proc/meminfo; false when either is missing.
bool parse_memory_status(const std::string& meminfo, MemoryStatus* out);
bool read_memory_status(MemoryStatus* out);

}  // namespace platform
