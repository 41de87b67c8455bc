// Parsers of the kernel's text figures under /proc.
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

// Busy share of the time between two readings, in percent; NaN when no time has passed.
double cpu_load_percent(const CpuTimes& before, const CpuTimes& after);

struct MemoryStatus;

// Parses MemTotal and MemAvailable of /proc/meminfo; false when either is missing.
bool parse_memory_status(const std::string& meminfo, MemoryStatus* out);

}  // namespace platform
