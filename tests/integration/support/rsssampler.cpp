#include "tests/integration/support/rsssampler.h"

namespace integration {

RssSampler::RssSampler(ProcessId pid, std::chrono::milliseconds period)
    : pid_(pid), period_(period), thread_([this] { run(); }) {}

RssSampler::~RssSampler() { stop(); }

void RssSampler::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wakeup_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::vector<long> RssSampler::samples_kib() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

void RssSampler::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto next = std::chrono::steady_clock::now();
    while (!stopping_) {
        const long kib = resident_kib(pid_);
        if (kib < 0) return;
        samples_.push_back(kib);
        next += period_;
        wakeup_.wait_until(lock, next, [this] { return stopping_; });
    }
}

}  // namespace integration
