// A read-only view of one event record: the 30-byte big-endian header and the frame behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"

namespace linkscope {

class EventRecord {
public:
    // `bytes` must hold at least EVT_HEADER_SIZE bytes and `size` is the record length
    // (evt_length); the block walk guarantees both before it hands a record out.
    EventRecord(const uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    // Checks marker, header size and that evt_length equals `available`.
    static bool is_well_formed(const uint8_t* bytes, std::size_t available);

    const uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }

    uint8_t marker() const { return bytes_[EVT_OFF_MARKER]; }
    uint16_t length() const { return load_be16(bytes_ + EVT_OFF_LENGTH); }
    uint16_t status() const { return load_be16(bytes_ + EVT_OFF_STATUS); }
    uint64_t index() const { return load_be64(bytes_ + EVT_OFF_INDEX); }
    uint64_t timestamp() const { return load_be64(bytes_ + EVT_OFF_TIMESTAMP); }
    uint32_t time_a() const { return load_be24(bytes_ + EVT_OFF_TIME_A); }
    uint32_t time_b() const { return load_be24(bytes_ + EVT_OFF_TIME_B); }

    uint8_t fcs_mode() const { return static_cast<uint8_t>((status() >> STATUS_FCS_MODE_SHIFT) & STATUS_FCS_MODE_MASK); }
    uint8_t period_code() const {
        return static_cast<uint8_t>((status() >> STATUS_PERIOD_CODE_SHIFT) & STATUS_PERIOD_CODE_MASK);
    }

    const uint8_t* frame() const { return bytes_ + EVT_OFF_FRAME; }
    std::size_t frame_length() const { return size_ - EVT_HEADER_SIZE; }

private:
    const uint8_t* bytes_;
    std::size_t size_;
};

// Header fields of a record to build (simulated cards, test devices, tools).
struct EventHeader {
    uint16_t status = 0;
    uint64_t index = 0;
    uint64_t timestamp = 0;
    uint32_t time_a = 0;
    uint32_t time_b = 0;
};

// evt_status with the given fcs_mode and period_code and the other bits from `flags`.
uint16_t make_status(uint8_t fcs_mode, uint8_t period_code, uint16_t flags = 0);

// Writes one record (header and frame) at `out`, which must hold EVT_HEADER_SIZE + frame_length
// bytes; returns the record length. frame_length must not exceed EVT_MAX_LENGTH - EVT_HEADER_SIZE.
std::size_t write_event_record(uint8_t* out, const EventHeader& header, const uint8_t* frame, std::size_t frame_length);

// The same, appended to a byte vector.
void append_event_record(std::vector<uint8_t>& out, const EventHeader& header, const uint8_t* frame,
                         std::size_t frame_length);

}  // namespace linkscope
