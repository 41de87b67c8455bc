#include "platform/bufferfilelock.h"

#include <unistd.h>

namespace platform {

// Closing the only descriptor of the open file drops its flock.
void BufferFileLock::release() noexcept {
    if (handle_ == NONE) return;
    ::close(static_cast<int>(handle_));
    handle_ = NONE;
}

}  // namespace platform
