// A sender's lifesigns as its clock: the period they show, the latest one, and whether the
// sender has gone silent. Two consecutive lifesigns of one run give the period, by their
// creation times; lifesigns lost on the way span several periods. A restart (the number goes
// back, or jumps further than a run's lost lifesigns would make it) or a clock step (the
// creation time does not move on) gives none. Until two lifesigns told it, the period is the
// gateway's default. Pure: no clock, no socket.
#pragma once

#include <cstdint>
#include <memory>

#include "common/stream/lifesignrecord.h"

namespace busdump {

class LifesignClock {
public:
    // A gateway's lifesign period until two of its lifesigns tell the real one.
    static constexpr int64_t DEFAULT_PERIOD_US = 500000;
    // A sender that sent nothing for this many lifesign periods is silent.
    static constexpr int64_t SILENT_PERIODS = 3;
    // Consecutive lifesigns of one run further apart in number belong to another run.
    static constexpr uint32_t LARGEST_STEP = 999;

    void observe(std::shared_ptr<const LifesignRecord> lifesign);
    // The gateway's new run, followed apart until its lifesign named the card, goes on here:
    // its latest lifesign, and its period once it knows one (until then the one known here).
    void take_over(const LifesignClock& later);

    int64_t period_us() const { return period_us_ ? period_us_ : DEFAULT_PERIOD_US; }
    // The latest lifesign; null before the first.
    const std::shared_ptr<const LifesignRecord>& latest() const { return latest_; }
    // Whether a sender last heard at `last_heard_us` has been silent for three periods at `now_us`.
    bool silent(int64_t last_heard_us, int64_t now_us) const {
        return now_us - last_heard_us >= SILENT_PERIODS * period_us();
    }

private:
    std::shared_ptr<const LifesignRecord> latest_;
    int64_t period_us_ = 0;  // 0: not known yet
};

}  // namespace busdump
