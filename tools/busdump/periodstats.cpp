#include "tools/busdump/periodstats.h"

#include <cmath>

namespace busdump {

namespace {

// Of a value above 0.
unsigned highest_bit(uint64_t value) { return 63u - static_cast<unsigned>(__builtin_clzll(value)); }

constexpr uint64_t LARGEST_BUCKETED = UINT32_MAX;

}  // namespace

std::size_t PeriodStats::bucket_of(uint64_t value) {
    if (value > LARGEST_BUCKETED) value = LARGEST_BUCKETED;
    if (value < SUB_BUCKETS) return static_cast<std::size_t>(value);
    const unsigned octave = highest_bit(value) - SUB_BITS + 1;  // 1 for values SUB_BUCKETS..2*SUB_BUCKETS-1
    const uint64_t sub = (value >> (octave - 1)) - SUB_BUCKETS;
    return static_cast<std::size_t>(octave * SUB_BUCKETS + sub);
}

uint64_t PeriodStats::bucket_low(std::size_t b) {
    if (b < SUB_BUCKETS) return b;
    const unsigned octave = static_cast<unsigned>(b / SUB_BUCKETS);
    const uint64_t sub = b % SUB_BUCKETS;
    return (SUB_BUCKETS + sub) << (octave - 1);
}

void PeriodStats::add(uint64_t period_us) {
    ++count_;
    sum_ += period_us;
    if (period_us < min_) min_ = period_us;
    if (period_us > max_) max_ = period_us;
    const std::size_t b = bucket_of(period_us);
    if (b < lowest_ || b > highest_) take_in(b);
    ++buckets_[b - lowest_];
}

void PeriodStats::take_in(std::size_t b) {
    if (buckets_.empty()) {
        buckets_.assign(1, 0);
        lowest_ = highest_ = b;
    } else if (b < lowest_) {
        buckets_.insert(buckets_.begin(), lowest_ - b, 0);
        lowest_ = b;
    } else {
        buckets_.resize(b - lowest_ + 1, 0);
        highest_ = b;
    }
}

uint64_t PeriodStats::clamp(uint64_t value) const {
    if (value < min()) return min();
    if (value > max_) return max_;
    return value;
}

uint64_t PeriodStats::percentile(double fraction) const {
    if (count_ == 0) return 0;
    // The smallest value with at least `fraction` of the periods at or below it.
    const auto rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    uint64_t seen = 0;
    for (std::size_t b = lowest_; b <= highest_; ++b) {
        seen += in_bucket(b);
        if (seen >= rank && seen > 0) return middle(b);
    }
    return max_;
}

uint64_t PeriodStats::typical() const {
    if (count_ == 0) return 0;
    std::size_t fullest = lowest_;
    for (std::size_t b = lowest_ + 1; b <= highest_; ++b)
        if (in_bucket(b) > in_bucket(fullest)) fullest = b;
    return middle(fullest);
}

PeriodStats::Lateness PeriodStats::lateness(uint64_t reference_us, double tolerance) const {
    Lateness out;
    if (reference_us == 0) return out;
    const double reference = static_cast<double>(reference_us);
    const double late_from = reference * (1.0 + tolerance);
    for (std::size_t b = lowest_; b <= highest_ && count_; ++b) {
        if (in_bucket(b) == 0) continue;
        const double period = static_cast<double>(middle(b));
        if (period <= late_from) continue;
        const double references = period / reference;
        if (references < MISSED_FROM)
            out.late += in_bucket(b);
        else
            out.missed += in_bucket(b) * (static_cast<uint64_t>(std::llround(references)) - 1);
    }
    return out;
}

}  // namespace busdump
