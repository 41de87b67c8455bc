#include "gateway/repeatlimiter.h"

#include <utility>

#include "gateway/logger.h"

RepeatLimiter::RepeatLimiter(FILE* log, int level, std::string kind, unsigned lines_per_second)
    : log_(log), level_(level), kind_(std::move(kind)), lines_per_second_(lines_per_second) {}

bool RepeatLimiter::admit(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (admitted_in_window_ == 0 || now - window_start_ >= std::chrono::seconds(1)) {
        window_start_ = now;
        admitted_in_window_ = 0;
    }
    if (admitted_in_window_ < lines_per_second_) {
        ++admitted_in_window_;
        return true;
    }
    ++left_out_since_summary_;
    ++left_out_total_;
    return false;
}

void RepeatLimiter::summarize() {
    uint64_t left_out = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(left_out, left_out_since_summary_);
    }
    // Written outside the lock: the thread that admits lines never waits on the log stream here.
    if (left_out != 0)
        logger::print(log_, level_, "%s: %llu more left out in the last second\n", kind_.c_str(),
                      static_cast<unsigned long long>(left_out));
}

uint64_t RepeatLimiter::left_out_total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return left_out_total_;
}
