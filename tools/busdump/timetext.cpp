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

// Day count from 1970-01-01 of a Gregorian date (proleptic), the inverse of civil_from_days.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = floor_div(year, 400);
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool all_digits(const std::string& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

int digits_value(const std::string& text, std::size_t from, std::size_t count) {
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
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

std::string TimeText::utc_iso(int64_t us) {
    std::string text = date_time(us);
    text[text.find(' ')] = 'T';
    return text + "Z";
}

std::string TimeText::utc_compact(int64_t us) {
    const Split s = split(us);
    const Civil c = civil_from_days(s.days);
    char text[40];
    std::snprintf(text, sizeof text, "%04" PRId64 "%02u%02uT%02d%02d%02dZ", c.year, c.month, c.day,
                  static_cast<int>(s.seconds_of_day / 3600), static_cast<int>(s.seconds_of_day / 60 % 60),
                  static_cast<int>(s.seconds_of_day % 60));
    return text;
}

bool TimeText::parse_utc_compact(const std::string& text, int64_t& us) {
    // 20261209T155200Z
    constexpr std::size_t LENGTH = 16;
    if (text.size() != LENGTH || text[8] != 'T' || text[15] != 'Z' || !all_digits(text, 0, 8) ||
        !all_digits(text, 9, 6))
        return false;
    const int year = digits_value(text, 0, 4), month = digits_value(text, 4, 2), day = digits_value(text, 6, 2);
    const int hour = digits_value(text, 9, 2), minute = digits_value(text, 11, 2), second = digits_value(text, 13, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return false;
    const int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    us = ((days * SECONDS_PER_DAY) + hour * 3600 + minute * 60 + second) * US_PER_SECOND;
    // A day past its month's end (0230) would land in the next month: not the text's date.
    return utc_compact(us) == text;
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
