// Renders the microsecond counts of the records as text.
#pragma once

#include <cstdint>
#include <string>

namespace busdump {

class TimeText {
public:
    // "YYYY-MM-DD hh:mm:ss.uuuuuu" for microseconds since 1970-01-01 00:00:00, without any zone
    // conversion: card time stamps count UTC, lifesign time points the gateway's local clock.
    static std::string date_time(int64_t us);
    // "hh:mm:ss" of the same count.
    static std::string clock(int64_t us);
    // "YYYY-MM-DDThh:mm:ss.uuuuuuZ" of the system clock's microseconds, which count UTC.
    static std::string utc_iso(int64_t us);
    // "YYYYMMDDThhmmssZ", whole seconds: sortable, and safe in a file name on every system.
    static std::string utc_compact(int64_t us);
    // The microseconds of a utc_compact() text; false for anything else.
    static bool parse_utc_compact(const std::string& text, int64_t& us);
    // Signed seconds with six decimals, "12.000250s", "-0.500000s".
    static std::string duration(int64_t us);
};

}  // namespace busdump
