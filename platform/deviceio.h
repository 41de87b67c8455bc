// Card I/O with the shape of the Windows calls: open by device path, synchronous request, close.
#pragma once

#include <cstdint>

namespace platform {

struct DeviceHandleData;
using DeviceHandle = DeviceHandleData*;
constexpr DeviceHandle INVALID_DEVICE_HANDLE = nullptr;

// Opens "\\.\LINKSCOPE<n>" exclusively: fails while another handle, in this or another
// process, holds device n, and when no device n exists. Test devices and simulated cards come
// first; on Windows any other number is the card's driver. Like the Windows calls, these leave
// errno alone: the callers set the value their own interface names.
DeviceHandle device_open(const char* path);

// Whether device path names a card that exists but cannot be opened now because another
// handle, in this or another process, holds it. Opens nothing and holds nothing.
bool device_is_busy(const char* path);

// Issues one request and blocks until it is served; true on success (an invalid handle fails).
// Another thread may issue requests on the same handle while
// one is pending: LINKSCOPE_IOCTL_RELEASE_WAIT ends a pending LINKSCOPE_IOCTL_WAIT_EVENTS.
bool device_request(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_size, void* out,
                    uint32_t out_size, uint32_t* bytes_returned);

// Releases the handle and its exclusive hold on the device. An invalid handle is ignored.
void device_close(DeviceHandle handle);

}  // namespace platform
