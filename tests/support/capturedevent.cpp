#include "tests/support/capturedevent.h"

#include "common/driver/controlbyte.h"
#include "common/driver/eventblock.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"

namespace testsupport {

using namespace linkscope;

std::vector<CapturedEvent> collect_events(const std::vector<uint8_t>& block) {
    std::vector<CapturedEvent> events;
    if (block.size() != EVENT_BLOCK_SIZE) return events;
    const EventBlock view(block.data());
    if (!view.carries_events()) return events;
    view.walk([&](const EventRecord& r) {
        events.push_back({r.status(), r.index(), r.timestamp(), r.time_a(), r.time_b(),
                          std::vector<uint8_t>(r.frame(), r.frame() + r.frame_length())});
    });
    return events;
}

bool wait_block(platform::Device& device, std::vector<uint8_t>& block) {
    block.assign(EVENT_BLOCK_SIZE, 0);
    uint32_t returned = 0;
    const bool ok = device.request(LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block.data(),
                                   static_cast<uint32_t>(block.size()), &returned);
    return ok && returned == EVENT_BLOCK_SIZE;
}

std::string frame_problem(uint8_t fcs_mode, const std::vector<uint8_t>& frame) {
    if (frame.empty()) return "empty frame";
    const ControlRule* rule = ControlByte::rule(frame[0]);
    if (!rule) return "unknown control byte " + std::to_string(frame[0]);
    const std::size_t n = frame.size();
    if (n < rule->min_length || n > rule->max_length)
        return "length " + std::to_string(n) + " outside the range of control byte " + std::to_string(frame[0]);
    if (rule->pdu_checked) {
        if ((frame[1] & PDU_TYPE_MASK) != PDU_TYPE_EXPECTED) return "wrong PDU type";
        if (n != static_cast<std::size_t>(frame[2]) + 5) return "length does not match the length byte";
    }
    if (fcs_mode == FCS_MODE_1021 || fcs_mode == FCS_MODE_1DCF) {
        if (!FrameCheck::frame_is_correct(fcs_mode, frame.data(), n)) return "wrong frame check";
    } else if (frame[n - 2] != 0 || frame[n - 1] != 0) {
        return "frame check bytes not 0 for a mode without frame check";
    }
    return "";
}

}  // namespace testsupport
