// What a reader of event blocks does when LINKSCOPE_IOCTL_WAIT_EVENTS fails: it pauses before
// asking again, so that a card failing every wait at once does not spin a core, and after a
// while of nothing but failed waits it takes the card for gone and stops asking. Each
// deliverable chooses its own pause and time.
#pragma once

#include <chrono>

namespace linkscope {

struct FailedWaitRule {
    std::chrono::milliseconds pause;          // between a failed wait and the next request
    std::chrono::milliseconds give_up_after;  // of failed waits only, counted from the first
};

// The state of one reader's run of failed waits.
class FailedWaits {
public:
    using Clock = std::chrono::steady_clock;

    explicit FailedWaits(FailedWaitRule rule) : rule_(rule) {}

    // A wait delivered a block: any run of failures is over.
    void succeeded() { failing_ = false; }

    // A wait failed at `now`. True when the failures began give_up_after or more before it:
    // the card is gone. Otherwise the reader pauses for pause() and waits again.
    bool failed_card_gone(Clock::time_point now);

    std::chrono::milliseconds pause() const { return rule_.pause; }

private:
    const FailedWaitRule rule_;
    bool failing_ = false;
    Clock::time_point first_failure_;
};

}  // namespace linkscope
