#include "common/driver/eventrecord.h"

#include <cstring>

namespace linkscope {

bool EventRecord::is_well_formed(const uint8_t* bytes, std::size_t available) {
    if (available < EVT_HEADER_SIZE || bytes[EVT_OFF_MARKER] != EVT_MARKER) return false;
    return load_be16(bytes + EVT_OFF_LENGTH) == available;
}

uint16_t make_status(uint8_t fcs_mode, uint8_t period_code, uint16_t flags) {
    const uint16_t mode_bits = static_cast<uint16_t>((fcs_mode & STATUS_FCS_MODE_MASK) << STATUS_FCS_MODE_SHIFT);
    const uint16_t period_bits =
        static_cast<uint16_t>((period_code & STATUS_PERIOD_CODE_MASK) << STATUS_PERIOD_CODE_SHIFT);
    const uint16_t other = static_cast<uint16_t>(flags & ~((STATUS_FCS_MODE_MASK << STATUS_FCS_MODE_SHIFT) |
                                                           (STATUS_PERIOD_CODE_MASK << STATUS_PERIOD_CODE_SHIFT)));
    return static_cast<uint16_t>(mode_bits | period_bits | other);
}

std::size_t write_event_record(uint8_t* out, const EventHeader& h, const uint8_t* frame, std::size_t frame_length) {
    const std::size_t length = EVT_HEADER_SIZE + frame_length;
    std::memset(out, 0, EVT_HEADER_SIZE);
    out[EVT_OFF_MARKER] = EVT_MARKER;
    store_be16(out + EVT_OFF_LENGTH, static_cast<uint16_t>(length));
    store_be16(out + EVT_OFF_STATUS, h.status);
    store_be64(out + EVT_OFF_INDEX, h.index);
    store_be64(out + EVT_OFF_TIMESTAMP, h.timestamp);
    store_be24(out + EVT_OFF_TIME_A, h.time_a);
    store_be24(out + EVT_OFF_TIME_B, h.time_b);
    if (frame_length) std::memcpy(out + EVT_OFF_FRAME, frame, frame_length);
    return length;
}

void append_event_record(std::vector<uint8_t>& out, const EventHeader& header, const uint8_t* frame,
                         std::size_t frame_length) {
    const std::size_t at = out.size();
    out.resize(at + EVT_HEADER_SIZE + frame_length);
    write_event_record(out.data() + at, header, frame, frame_length);
}

}  // namespace linkscope
