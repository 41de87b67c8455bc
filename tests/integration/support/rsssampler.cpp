#include "tests/integration/support/rsssampler.h"

#include <fstream>
#include <sstream>
#include <string>

namespace integration {

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        long kib = -1;
        fields >> kib;
        return kib;
    }
    return -1;  // gone, or a zombie that no longer has a memory map
}

RssSampler::RssSampler(pid_t pid, std::chrono::milliseconds period)
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
