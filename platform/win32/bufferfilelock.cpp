#include "platform/bufferfilelock.h"

#include <windows.h>

namespace platform {

// Closing the handle drops the byte-range lock it holds.
void BufferFileLock::release() noexcept {
    if (handle_ == NONE) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = NONE;
}

}  // namespace platform
