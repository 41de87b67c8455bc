#include "tools/busdump/timetext.h"

#include <cinttypes>
#include <cstdio>

namespace busdump {

namespace {

constexpr int64_t US_PER_SECOND = 1000000;
constexpr int64_t SECONDS_PER_DAY = 86400;

// Floor division, so that instants before 1970 fall on the day before.
int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

struct Civil {
    int64_t year;
    unsigned month, day;
};

// Gregorian date of a day count from 1970-01-01 (proleptic, any sign).
Civil civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = floor_div(days, 146097);
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

struct Split {
    int64_t days, seconds_of_day, micros;
};

Split split(int64_t us) {
    const int64_t seconds = floor_div(us, US_PER_SECOND);
    // From the remainder: seconds * US_PER_SECOND overflows for the earliest counts.
    const int64_t remainder = us % US_PER_SECOND;
    const int64_t micros = remainder < 0 ? remainder + US_PER_SECOND : remainder;
    const int64_t days = floor_div(seconds, SECONDS_PER_DAY);
    return {days, seconds - days * SECONDS_PER_DAY, micros};
}

}  // namespace

std::string TimeText::date_time(int64_t us) {
    const Split s = split(us);
    const Civil c = civil_from_days(s.days);
    char text[64];
    std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02u %02d:%02d:%02d.%06d", c.year, c.month, c.day,
                  static_cast<int>(s.seconds_of_day / 3600), static_cast<int>(s.seconds_of_day / 60 % 60),
                  static_cast<int>(s.seconds_of_day % 60), static_cast<int>(s.micros));
    return text;
}

std::string TimeText::clock(int64_t us) {
    const Split s = split(us);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(s.seconds_of_day / 3600),
                  static_cast<int>(s.seconds_of_day / 60 % 60), static_cast<int>(s.seconds_of_day % 60));
    return text;
}

std::string TimeText::duration(int64_t us) {
    // Work on the magnitude as unsigned so that INT64_MIN prints too.
    const bool negative = us < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
    char text[40];
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%06" PRIu64 "s", negative ? "-" : "",
                  magnitude / US_PER_SECOND, magnitude % US_PER_SECOND);
    return text;
}

}  // namespace busdump
