#include <gtest/gtest.h>

#include <cstdint>

#include "tools/busdump/timetext.h"

using busdump::TimeText;

struct DateCase {
    int64_t us;
    const char* text;
};

class DateTime : public testing::TestWithParam<DateCase> {};

TEST_P(DateTime, Renders) { EXPECT_EQ(TimeText::date_time(GetParam().us), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Instants, DateTime,
                         testing::Values(DateCase{0, "1970-01-01 00:00:00.000000"},
                                         DateCase{-1, "1969-12-31 23:59:59.999999"},
                                         DateCase{951782400000000, "2000-02-29 00:00:00.000000"},
                                         DateCase{951868799999999, "2000-02-29 23:59:59.999999"},
                                         DateCase{4107542400000001, "2100-03-01 00:00:00.000001"},
                                         DateCase{1765141445123456, "2025-12-07 21:04:05.123456"},
                                         // The ends of the range: a record may carry any count.
                                         DateCase{INT64_MIN, "-290308-12-21 19:59:05.224192"},
                                         DateCase{INT64_MAX, "294247-01-10 04:00:54.775807"}),
                         [](const testing::TestParamInfo<DateCase>& info) {
                             return "At" + std::to_string(info.index);
                         });

TEST(TimeText, Durations) {
    EXPECT_EQ(TimeText::duration(0), "0.000000s");
    EXPECT_EQ(TimeText::duration(12000250), "12.000250s");
    EXPECT_EQ(TimeText::duration(-500000), "-0.500000s");
    EXPECT_EQ(TimeText::duration(INT64_MIN), "-9223372036854.775808s");
}

TEST(TimeText, ClockOfTheDay) {
    EXPECT_EQ(TimeText::clock(1765141445123456), "21:04:05");
    EXPECT_EQ(TimeText::clock(INT64_MIN), "19:59:05");
}
