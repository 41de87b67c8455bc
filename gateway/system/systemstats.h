// Host health record of the host sampler, copied whole by its observers.
#pragma once

#include <cstdint>
#include <limits>

#include <boost/date_time/posix_time/posix_time_types.hpp>

struct SystemStats {
    static constexpr float unset = std::numeric_limits<float>::quiet_NaN();

    boost::posix_time::ptime start_date;        // not-a-date-time until the sampler starts
    boost::posix_time::time_duration duration{boost::posix_time::not_a_date_time};  // never filled
    float cpu_load = unset;          // percent
    float cpu_temperature = unset;   // degrees Celsius
    uint32_t ram_total = 0;          // KiB
    uint32_t ram_used = 0;
    uint32_t ram_available = 0;
    float ram_used_pct = unset;
    float ram_available_pct = unset;
    uint32_t storage_total = 0;      // KiB
    uint32_t storage_used = 0;
    uint32_t storage_available = 0;
    float storage_used_pct = unset;
    float storage_available_pct = unset;
};
