// Samples the resident set size (VmRSS) of a running process at a fixed period, on a thread
// that it owns: started by the constructor, joined by stop() or the destructor.
//
//   integration::RssSampler rss(gateway.pid(), std::chrono::seconds(1));
//   ...
//   rss.stop();
//   for (long kib : rss.samples_kib()) ...
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace integration {

// VmRSS of `pid` in KiB from /proc/<pid>/status, or -1 when the process is gone.
long resident_kib(pid_t pid);

class RssSampler {
public:
    RssSampler(pid_t pid, std::chrono::milliseconds period);
    ~RssSampler();
    RssSampler(const RssSampler&) = delete;
    RssSampler& operator=(const RssSampler&) = delete;

    void stop();
    // One value per period since the start, in KiB; a process that has gone adds nothing more.
    std::vector<long> samples_kib() const;

private:
    void run();

    const pid_t pid_;
    const std::chrono::milliseconds period_;
    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    bool stopping_ = false;
    std::vector<long> samples_;
    std::thread thread_;
};

}  // namespace integration
