// A stop request that a thread can sleep on: stop() ends a pending sleep at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace busrec {

class StopSignal {
public:
    // Sleeps for `period`; false when stop() was called before or during the sleep.
    bool sleep_for(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_for(lock, period, [this] { return stopped_; });
    }
    bool stopped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    void rearm() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = false;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

}  // namespace busrec
