// A scripted card for tests: delivers the blocks a test queues, records every request,
// fails the requests a test chooses, and ends a pending wait on release.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "common/driver/deviceinfos.h"
#include "platform/device.h"

namespace testsupport {

struct RequestLogEntry {
    uint32_t code;
    std::vector<uint8_t> input;
    std::chrono::steady_clock::time_point time;
};

class TestDevice : public platform::Device {
public:
    explicit TestDevice(const linkscope::device_infos& infos = default_infos());

    static linkscope::device_infos default_infos();

    // Blocks handed out by LINKSCOPE_IOCTL_WAIT_EVENTS, in order. A block of any size may be
    // queued: its size is the bytes-returned count (32780 for a proper block). With none
    // queued a wait blocks until one is pushed or the wait is released.
    void push_block(std::vector<uint8_t> block);
    // Instead of the queue: called for every wait; returns false to make the wait block
    // as with an empty queue.
    void set_block_source(std::function<bool(std::vector<uint8_t>& block)> source);

    // Make every request with `code` fail (or succeed again).
    void fail_request(uint32_t code, bool fail = true);

    std::vector<RequestLogEntry> requests() const;
    std::size_t count(uint32_t code) const;
    // Blocks until `n` requests with `code` have been seen, or the timeout; true when they were.
    bool wait_for_count(uint32_t code, std::size_t n, std::chrono::milliseconds timeout) const;
    std::size_t blocks_pending() const;
    bool is_open() const;

    void on_open() override;
    void on_close() override;
    bool request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                 uint32_t* bytes_returned) override;

private:
    bool serve_wait(void* out, uint32_t out_size, uint32_t* bytes_returned, std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    linkscope::device_infos infos_;
    std::deque<std::vector<uint8_t>> blocks_;
    std::function<bool(std::vector<uint8_t>&)> source_;
    std::set<uint32_t> failing_;
    std::vector<RequestLogEntry> log_;
    uint64_t releases_ = 0;
    bool open_ = false;
};

}  // namespace testsupport
