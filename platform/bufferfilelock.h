// The lock a running gateway holds on its buffer file: while it is held, no other gateway takes
// the file over (flock on Linux, LockFileEx on Windows). The system drops it when the holder's
// process ends, however it ends, so a file left by a killed run is free again.
#pragma once

#include <cstdint>

namespace platform {

class BufferFileLock {
public:
    BufferFileLock() = default;
    // Takes over `handle` (a file descriptor, or a HANDLE on Windows) that holds the lock.
    explicit BufferFileLock(std::intptr_t handle) : handle_(handle) {}
    ~BufferFileLock() { release(); }

    BufferFileLock(BufferFileLock&& other) noexcept : handle_(other.handle_) { other.handle_ = NONE; }
    BufferFileLock& operator=(BufferFileLock&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = other.handle_;
            other.handle_ = NONE;
        }
        return *this;
    }
    BufferFileLock(const BufferFileLock&) = delete;
    BufferFileLock& operator=(const BufferFileLock&) = delete;

    bool held() const { return handle_ != NONE; }

    // Gives the lock up and closes the handle that held it.
    void release() noexcept;

private:
    static constexpr std::intptr_t NONE = -1;
    std::intptr_t handle_ = NONE;
};

}  // namespace platform
