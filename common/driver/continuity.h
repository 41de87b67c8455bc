// The frame index continuity rule: a reader keeps the last nonzero index it saw.
#pragma once

#include <cstdint>

namespace linkscope {

class Continuity {
public:
    // Checks one evt_index and returns the frames it adds to the lost total. An index other
    // than last + 1 is a discontinuity: a forward jump adds the difference index - last; an
    // index that goes backwards or repeats is a restart of the card's count (a reset) and adds
    // nothing. An index of 0 carries no index: it is neither checked nor kept.
    uint64_t check(uint64_t index) {
        if (index == 0) return 0;
        uint64_t lost = 0;
        if (index != last_ + 1) {
            ++discontinuities_;
            if (index > last_) lost = index - last_;
            lost_total_ += lost;
            if (lost) missing_total_ += lost - 1;
        }
        last_ = index;
        return lost;
    }

    uint64_t last_index() const { return last_; }
    uint64_t discontinuities() const { return discontinuities_; }
    uint64_t lost_total() const { return lost_total_; }
    // The frames whose indices were skipped: at each forward jump the difference minus one
    // (indices 5, 6, 8 miss one frame, where the lost total grows by 2).
    uint64_t missing_total() const { return missing_total_; }

    // The signed step from `last` to `index`, as the frame-loss warning prints it.
    static int64_t signed_difference(uint64_t last, uint64_t index) {
        return static_cast<int64_t>(index - last);
    }

private:
    uint64_t last_ = 0;
    uint64_t discontinuities_ = 0;
    uint64_t lost_total_ = 0;
    uint64_t missing_total_ = 0;
};

}  // namespace linkscope
