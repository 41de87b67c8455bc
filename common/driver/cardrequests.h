// The six requests of the card, each with its code, its buffers and their sizes, issued on one
// open handle of the device layer. The gateway's card handle and the library's device functions
// and sessions send every request through these functions.
//
// Header only: the functions carry the request to platform::device_request in the program that
// calls them, so the protocol module itself stays below the device layer that uses it.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "platform/deviceio.h"

namespace linkscope {

// LINKSCOPE_IOCTL_GET_INFOS into `record`, zeroed first. False when the driver fails it.
inline bool request_infos(platform::DeviceHandle dev, uint8_t (&record)[DEVICE_INFOS_SIZE]) {
    std::memset(record, 0, sizeof record);
    uint32_t returned = 0;
    return platform::device_request(dev, LINKSCOPE_IOCTL_GET_INFOS, nullptr, 0, record, DEVICE_INFOS_SIZE, &returned);
}

// LINKSCOPE_IOCTL_RESET; the driver's answer means nothing to either deliverable.
inline void request_reset(platform::DeviceHandle dev) {
    uint32_t returned = 0;
    (void)platform::device_request(dev, LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, &returned);
}

// LINKSCOPE_IOCTL_SET_EPOCH with `microseconds` (little-endian), no bytes-returned variable.
inline bool request_epoch(platform::DeviceHandle dev, uint64_t microseconds) {
    uint8_t input[EPOCH_INPUT_SIZE];
    store_le64(input, microseconds);
    return platform::device_request(dev, LINKSCOPE_IOCTL_SET_EPOCH, input, EPOCH_INPUT_SIZE, nullptr, 0, nullptr);
}

// LINKSCOPE_IOCTL_SET_SNIFFER with SNIFFER_ON or SNIFFER_OFF, no bytes-returned variable.
inline bool request_sniffer(platform::DeviceHandle dev, uint32_t on) {
    uint8_t input[SNIFFER_INPUT_SIZE];
    store_le32(input, on);
    return platform::device_request(dev, LINKSCOPE_IOCTL_SET_SNIFFER, input, SNIFFER_INPUT_SIZE, nullptr, 0, nullptr);
}

// LINKSCOPE_IOCTL_WAIT_EVENTS into `block` (EVENT_BLOCK_SIZE bytes, zeroed first). True only
// when the request succeeded with a whole block; any other answer leaves nothing to walk.
inline bool request_events(platform::DeviceHandle dev, uint8_t* block) {
    std::memset(block, 0, EVENT_BLOCK_SIZE);
    uint32_t returned = 0;
    const bool served =
        platform::device_request(dev, LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block, EVENT_BLOCK_SIZE, &returned);
    return served && returned == EVENT_BLOCK_SIZE;
}

// LINKSCOPE_IOCTL_RELEASE_WAIT: a pending LINKSCOPE_IOCTL_WAIT_EVENTS returns; result not looked at.
inline void request_release(platform::DeviceHandle dev) {
    uint32_t returned = 0;
    (void)platform::device_request(dev, LINKSCOPE_IOCTL_RELEASE_WAIT, nullptr, 0, nullptr, 0, &returned);
}

}  // namespace linkscope
