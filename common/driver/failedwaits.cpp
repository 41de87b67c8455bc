#include "common/driver/failedwaits.h"

namespace linkscope {

bool FailedWaits::failed_card_gone(Clock::time_point now) {
    if (!failing_) {
        failing_ = true;
        first_failure_ = now;
        return false;
    }
    return now - first_failure_ >= rule_.give_up_after;
}

}  // namespace linkscope
