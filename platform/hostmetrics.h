// Host health figures from the operating system: CPU load, CPU temperature, physical memory.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// The total load of all processors, measured as a rate between two readings.
class CpuLoadMeter {
public:
    // Takes the first reading, from which the first load is measured.
    CpuLoadMeter();
    ~CpuLoadMeter();
    CpuLoadMeter(const CpuLoadMeter&) = delete;
    CpuLoadMeter& operator=(const CpuLoadMeter&) = delete;

    // Busy share of all processors since the last reading that gave a load, in percent; NaN when
    // the load cannot be read or too little time has passed to measure it.
    double read();

private:
    struct Source;
    std::unique_ptr<Source> source_;
};

// Stores the temperature of the host's first thermal zone, in degrees Celsius, into *celsius and
// returns true; returns false, leaving *celsius alone, when the host reports no zone or its
// figure cannot be read (the caller keeps the value it had).
bool read_cpu_temperature(float* celsius);

struct MemoryStatus {
    uint64_t total_bytes = 0;
    uint64_t available_bytes = 0;
};

// Physical memory; false when the system does not tell.
bool read_memory_status(MemoryStatus* out);

}  // namespace platform
