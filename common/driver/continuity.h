// The frame index continuity rule: a reader keeps the last nonzero index it saw.
#pragma once

#include <cstdint>

namespace linkscope {

class Continuity {
public:
    // Checks one evt_index. Returns the difference index - last (64-bit) at a discontinuity,
    // 0 when the index continues the sequence or is 0 (no index: neither checked nor kept).
    uint64_t check(uint64_t index) {
        if (index == 0) return 0;
        uint64_t diff = 0;
        if (index != last_ + 1) {
            diff = index - last_;
            ++discontinuities_;
            lost_total_ += diff;
        }
        last_ = index;
        return diff;
    }

    uint64_t last_index() const { return last_; }
    uint64_t discontinuities() const { return discontinuities_; }
    uint64_t lost_total() const { return lost_total_; }

private:
    uint64_t last_ = 0;
    uint64_t discontinuities_ = 0;
    uint64_t lost_total_ = 0;
};

}  // namespace linkscope
