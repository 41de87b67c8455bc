// Samples the resident set size (VmRSS; the working set on Windows) of a running process at a fixed period, on a thread
// that it owns: started by the constructor, joined by stop() or the destructor.
//
//   integration::RssSampler rss(gateway.pid(), std::chrono::seconds(1));
//   ...
//   rss.stop();
//   for (long kib : rss.samples_kib()) ...
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/integration/support/gatewayprocess.h"

namespace integration {

// The resident size of `pid` in KiB (VmRSS from /proc/<pid>/status; the working set from
// GetProcessMemoryInfo on Windows), or -1 when the process is gone.
long resident_kib(ProcessId pid);

class RssSampler {
public:
    RssSampler(ProcessId pid, std::chrono::milliseconds period);
    ~RssSampler();
    RssSampler(const RssSampler&) = delete;
    RssSampler& operator=(const RssSampler&) = delete;

    void stop();
    // One value per period since the start, in KiB; a process that has gone adds nothing more.
    std::vector<long> samples_kib() const;

private:
    void run();

    const ProcessId pid_;
    const std::chrono::milliseconds period_;
    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    bool stopping_ = false;
    std::vector<long> samples_;
    std::thread thread_;
};

}  // namespace integration
