// Statistics of the periods between successive occurrences of one identifier, in microseconds
// of the card's time stamps: count, minimum, mean, maximum, and percentiles and the typical
// period from a histogram of fixed size, so that memory stays bounded however long busdump runs.
//
// The histogram is log-linear: values below SUB_BUCKETS have a bucket each; above, every power
// of two is split into SUB_BUCKETS equal buckets, so a percentile is exact to within
// 1 / SUB_BUCKETS of its value (3 %); it is reported as the middle of its bucket, clamped to
// the minimum and maximum seen. Only the buckets from the lowest to the highest in use are
// stored: a regular identifier needs a few dozen of the 896, and a receiver of hundreds of
// senders makes such a histogram for every identifier of every bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace busdump {

class PeriodStats {
public:
    static constexpr unsigned SUB_BITS = 5;
    static constexpr uint32_t SUB_BUCKETS = 1u << SUB_BITS;
    // Octaves above the linear part, up to periods of 2^32 - 1 us; longer ones count in the last bucket.
    static constexpr std::size_t BUCKETS = (32 - SUB_BITS + 1) * SUB_BUCKETS;
    // A period of at least this many references counts as missed occurrences, not as late.
    static constexpr double MISSED_FROM = 1.5;

    // Late and missed occurrences against a reference period.
    struct Lateness {
        uint64_t late = 0;    // periods above reference x (1 + tolerance) that miss no occurrence
        uint64_t missed = 0;  // occurrences that never came: a period of k references misses k - 1
    };

    void add(uint64_t period_us);

    uint64_t count() const { return count_; }
    uint64_t min() const { return count_ ? min_ : 0; }
    uint64_t max() const { return max_; }
    double mean() const { return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0.0; }
    // The period below which `fraction` (0 to 1) of the periods lie; 0 without periods.
    uint64_t percentile(double fraction) const;
    // The most frequent period (the middle of the fullest bucket; the shorter one on a tie): the
    // period a regular identifier is scanned at, which late and missed occurrences do not move.
    uint64_t typical() const;
    // Late and missed occurrences against `reference_us`, with `tolerance` a fraction (0.1 for 10 %).
    Lateness lateness(uint64_t reference_us, double tolerance) const;

    static std::size_t bucket_of(uint64_t value);
    // The lowest value of bucket `b` and the lowest value of the next one.
    static uint64_t bucket_low(std::size_t b);
    static uint64_t bucket_high(std::size_t b) { return bucket_low(b + 1); }

private:
    // Widens the stored range to take in bucket `b`.
    void take_in(std::size_t b);
    uint32_t in_bucket(std::size_t b) const { return buckets_[b - lowest_]; }
    uint64_t clamp(uint64_t value) const;
    uint64_t middle(std::size_t b) const { return clamp((bucket_low(b) + bucket_high(b) - 1) / 2); }

    uint64_t count_ = 0;
    uint64_t sum_ = 0;
    uint64_t min_ = UINT64_MAX;
    uint64_t max_ = 0;
    // The lowest and highest bucket in use, and the counts of the buckets between them.
    std::size_t lowest_ = BUCKETS;
    std::size_t highest_ = 0;
    std::vector<uint32_t> buckets_;
};

}  // namespace busdump
