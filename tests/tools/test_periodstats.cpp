// The period statistics of busdump --analyze: exact figures, the histogram's buckets and the
// percentiles, typical period and late and missed occurrences read from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tools/busdump/periodstats.h"

using busdump::PeriodStats;

namespace {

PeriodStats stats_of(const std::vector<uint64_t>& periods) {
    PeriodStats stats;
    for (uint64_t p : periods) stats.add(p);
    return stats;
}

// Within one bucket's width (1/32 of the value) of `expected`.
void expect_near_value(uint64_t seen, uint64_t expected) {
    EXPECT_NEAR(static_cast<double>(seen), static_cast<double>(expected), expected / 32.0 + 1);
}

}  // namespace

TEST(PeriodStats, BucketsCoverEveryValueInOrder) {
    // Every value lies in its bucket's range, and the ranges follow each other without holes.
    const std::vector<uint64_t> values = {0, 1, 31, 32, 33, 63, 64, 65, 1000, 20000, 20001, 123456789, UINT32_MAX};
    for (uint64_t v : values) {
        const std::size_t b = PeriodStats::bucket_of(v);
        ASSERT_LT(b, PeriodStats::BUCKETS) << v;
        EXPECT_LE(PeriodStats::bucket_low(b), v) << v;
        EXPECT_GT(PeriodStats::bucket_high(b), v) << v;
        EXPECT_LE(PeriodStats::bucket_high(b) - PeriodStats::bucket_low(b), v / 16 + 1) << "width at " << v;
    }
    for (std::size_t b = 0; b + 1 < PeriodStats::BUCKETS; ++b)
        ASSERT_EQ(PeriodStats::bucket_of(PeriodStats::bucket_low(b + 1)), b + 1) << b;
    EXPECT_EQ(PeriodStats::bucket_of(uint64_t{1} << 40), PeriodStats::BUCKETS - 1) << "beyond the range: the last";
}

TEST(PeriodStats, FiguresOfASeries) {
    struct Case {
        const char* name;
        std::vector<uint64_t> periods;
        uint64_t min, max;
        double mean;
        uint64_t p99, typical;
    };
    std::vector<uint64_t> steady_with_outlier(999, 20000);
    steady_with_outlier.push_back(60000);
    std::vector<uint64_t> two_percent_slow(98, 1000);
    two_percent_slow.insert(two_percent_slow.end(), 2, 5000);
    const std::vector<Case> cases = {
        {"empty", {}, 0, 0, 0.0, 0, 0},
        {"one", {700}, 700, 700, 700.0, 700, 700},
        {"steady, one outlier below the 99th", steady_with_outlier, 20000, 60000, 20040.0, 20000, 20000},
        {"two percent slow", two_percent_slow, 1000, 5000, 1080.0, 5000, 1000},
        {"small exact values", {3, 5, 5, 7}, 3, 7, 5.0, 7, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PeriodStats s = stats_of(c.periods);
        EXPECT_EQ(s.count(), c.periods.size());
        EXPECT_EQ(s.min(), c.min);
        EXPECT_EQ(s.max(), c.max);
        EXPECT_DOUBLE_EQ(s.mean(), c.mean);
        expect_near_value(s.percentile(0.99), c.p99);
        expect_near_value(s.typical(), c.typical);
        EXPECT_GE(s.percentile(0.99), s.min());
        EXPECT_LE(s.percentile(0.99), s.max());
    }
}

TEST(PeriodStats, LateAndMissedAgainstAReference) {
    struct Case {
        const char* name;
        std::vector<uint64_t> periods;
        double tolerance;
        uint64_t late, missed;
    };
    const std::vector<Case> cases = {
        {"on time and within tolerance", {10000, 10000, 10900}, 0.10, 0, 0},
        {"late beyond tolerance", {10000, 11500, 14000}, 0.10, 2, 0},
        {"tighter tolerance", {10000, 10600}, 0.05, 1, 0},
        {"one occurrence missing", {20000}, 0.10, 0, 1},
        {"three missing", {40000}, 0.10, 0, 3},
        {"early is neither", {5000}, 0.10, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PeriodStats::Lateness l = stats_of(c.periods).lateness(10000, c.tolerance);
        EXPECT_EQ(l.late, c.late);
        EXPECT_EQ(l.missed, c.missed);
    }
    EXPECT_EQ(stats_of({5000}).lateness(0, 0.1).missed, 0u) << "no reference: nothing judged";
}

TEST(PeriodStats, FiguresDoNotDependOnTheOrderThePeriodsCameIn) {
    // Only the buckets in use are kept: the range grows downwards and upwards as periods come.
    const std::vector<uint64_t> first_high = {20000, 20000, 40000, 20000, 9, 20000, 1u << 30, 21000, 0, 20000};
    std::vector<uint64_t> ascending = first_high;
    std::sort(ascending.begin(), ascending.end());
    const std::vector<uint64_t> descending(ascending.rbegin(), ascending.rend());
    const PeriodStats reference = stats_of(ascending);
    for (const auto* order : {&first_high, &descending}) {
        const PeriodStats s = stats_of(*order);
        for (double fraction : {0.0, 0.1, 0.5, 0.9, 0.99, 1.0}) EXPECT_EQ(s.percentile(fraction), reference.percentile(fraction)) << fraction;
        EXPECT_EQ(s.typical(), reference.typical());
        EXPECT_EQ(s.lateness(20000, 0.1).late, reference.lateness(20000, 0.1).late);
        EXPECT_EQ(s.lateness(20000, 0.1).missed, reference.lateness(20000, 0.1).missed);
    }
    expect_near_value(reference.typical(), 20000);
    expect_near_value(reference.lateness(20000, 0.1).missed, 1 + (1u << 30) / 20000 - 1);  // the 40000 and the 2^30
}
