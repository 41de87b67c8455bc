#include "tests/support/testdevice.h"

#include <cstring>

#include "common/driver/protocol.h"

namespace testsupport {

using namespace linkscope;

TestDevice::TestDevice(const device_infos& infos) : infos_(infos) {}

device_infos TestDevice::default_infos() {
    device_infos d{};
    d.index = 0;
    d.sn = 0x4C530001;
    d.vid = 0x10EE;
    d.did = 0x7011;
    d.ssvid = 0x10EE;
    d.ssdid = 0x0007;
    d.bar_cnt = 2;
    d.bar_bsz[0] = 4096;
    d.bar_base[0] = 0xF7D00000;
    d.bar_bsz[1] = 1048576;
    d.bar_base[1] = 0xF7C00000;
    d.irq_number = 17;
    d.drv_version = 0x00010203;
    d.info_ext1 = 0x11223344;
    d.info_ext2 = 0x000000A5;
    return d;
}

void TestDevice::push_block(std::vector<uint8_t> block) {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back(std::move(block));
    changed_.notify_all();
}

void TestDevice::set_block_source(std::function<bool(std::vector<uint8_t>&)> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
    changed_.notify_all();
}

void TestDevice::fail_request(uint32_t code, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail)
        failing_.insert(code);
    else
        failing_.erase(code);
}

std::vector<RequestLogEntry> TestDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::size_t TestDevice::count(uint32_t code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const RequestLogEntry& e : log_) n += e.code == code;
    return n;
}

bool TestDevice::wait_for_count(uint32_t code, std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const RequestLogEntry& e : log_) seen += e.code == code;
        return seen >= n;
    });
}

std::size_t TestDevice::blocks_pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

bool TestDevice::is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

void TestDevice::on_open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
}

void TestDevice::on_close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    ++releases_;  // a closed handle has no pending wait left
    changed_.notify_all();
}

bool TestDevice::request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                         uint32_t* bytes_returned) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto* input = static_cast<const uint8_t*>(in);
    log_.push_back({code, std::vector<uint8_t>(input, input + (input ? in_size : 0)), std::chrono::steady_clock::now()});
    changed_.notify_all();
    if (bytes_returned) *bytes_returned = 0;
    if (code == LINKSCOPE_IOCTL_RELEASE_WAIT) {
        ++releases_;
        changed_.notify_all();
    }
    if (failing_.count(code)) return false;
    switch (code) {
        case LINKSCOPE_IOCTL_GET_INFOS:
            if (!out || out_size < DEVICE_INFOS_SIZE) return false;
            encode_device_infos(infos_, static_cast<uint8_t*>(out));
            if (bytes_returned) *bytes_returned = DEVICE_INFOS_SIZE;
            return true;
        case LINKSCOPE_IOCTL_WAIT_EVENTS:
            return serve_wait(out, out_size, bytes_returned, lock);
        default:
            return true;
    }
}

bool TestDevice::serve_wait(void* out, uint32_t out_size, uint32_t* bytes_returned,
                            std::unique_lock<std::mutex>& lock) {
    const uint64_t releases_at_start = releases_;
    std::vector<uint8_t> block;
    for (;;) {
        if (releases_ != releases_at_start) return false;
        if (source_) {
            auto source = source_;
            lock.unlock();
            const bool got = source(block);
            lock.lock();
            if (got) break;
            changed_.wait_for(lock, std::chrono::milliseconds(1));
            continue;
        }
        if (!blocks_.empty()) {
            block = std::move(blocks_.front());
            blocks_.pop_front();
            break;
        }
        changed_.wait(lock);
    }
    const std::size_t n = block.size() < out_size ? block.size() : out_size;
    if (out && n) std::memcpy(out, block.data(), n);
    if (bytes_returned) *bytes_returned = static_cast<uint32_t>(block.size());
    return true;
}

}  // namespace testsupport
