// Events read back from delivered blocks, and a check of every FIP frame rule, so that tests of
// cards and of consumers compare decoded fields instead of bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device.h"

namespace testsupport {

struct CapturedEvent {
    uint16_t status;
    uint64_t index;
    uint64_t timestamp;
    uint32_t time_a;
    uint32_t time_b;
    std::vector<uint8_t> frame;  // control byte through FCS
};

// The records of one 32780-byte block, by the block walk; none when the block carries no events.
std::vector<CapturedEvent> collect_events(const std::vector<uint8_t>& block);

// One LINKSCOPE_IOCTL_WAIT_EVENTS on `device` into `block` (resized to 32780 bytes); true when
// the request succeeded with 32780 bytes returned.
bool wait_block(platform::Device& device, std::vector<uint8_t>& block);

// Why `frame` is not a valid FIP frame for `fcs_mode` (unknown control byte, length outside the
// control byte's range, wrong PDU type, response length not matching its length byte, wrong
// frame check), or an empty string when it is valid.
std::string frame_problem(uint8_t fcs_mode, const std::vector<uint8_t>& frame);

}  // namespace testsupport
