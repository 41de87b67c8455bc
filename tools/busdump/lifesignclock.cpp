#include "tools/busdump/lifesignclock.h"

namespace busdump {

void LifesignClock::observe(std::shared_ptr<const LifesignRecord> lifesign) {
    if (!lifesign) return;
    if (latest_) {
        // Unsigned: a number that went back makes a step too large to be one run's.
        const uint32_t steps = lifesign->counter - latest_->counter;
        const int64_t between = lifesign->created_us - latest_->created_us;
        if (steps > 0 && steps <= LARGEST_STEP && between > 0) period_us_ = between / steps;
    }
    latest_ = std::move(lifesign);
}

void LifesignClock::take_over(const LifesignClock& later) {
    if (later.latest_) latest_ = later.latest_;
    if (later.period_us_) period_us_ = later.period_us_;
}

}  // namespace busdump
