// A read-only view of one 32780-byte event block and the walk over its event area.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/protocol.h"

namespace linkscope {

class EventBlock {
public:
    // `bytes` must hold EVENT_BLOCK_SIZE bytes.
    explicit EventBlock(const uint8_t* bytes) : bytes_(bytes) {}

    uint32_t block_flags() const { return load_le32(bytes_); }
    // Bit 31 or bit 30 of block_flags: the event area holds events.
    bool carries_events() const { return (block_flags() & (BLOCK_FLAG_EVENTS_A | BLOCK_FLAG_EVENTS_B)) != 0; }

    // Walks the event area from offset 12 and calls on_record(const EventRecord&) for every
    // record until a marker other than 0xC0, a length below 30, an overrun of the 32768-byte
    // area or the area's end. Never reads past the block. Returns the number of records handed out.
    template <class OnRecord>
    std::size_t walk(OnRecord&& on_record) const {
        return walk(on_record, [](uint64_t) {});
    }

    // The same, with on_index(uint64_t evt_index) called for every candidate record whose
    // index field lies inside the block, before its length is checked: the gateway checks
    // continuity also for a record that is then refused.
    template <class OnRecord, class OnIndex>
    std::size_t walk(OnRecord&& on_record, OnIndex&& on_index) const {
        std::size_t offset = EVENT_AREA_OFFSET;
        std::size_t total = 0;
        std::size_t delivered = 0;
        while (offset < EVENT_BLOCK_SIZE && bytes_[offset] == EVT_MARKER) {
            const uint8_t* at = bytes_ + offset;
            const std::size_t remaining = EVENT_BLOCK_SIZE - offset;
            if (remaining >= EVT_OFF_INDEX + 8) on_index(load_be64(at + EVT_OFF_INDEX));
            if (remaining < EVT_OFF_LENGTH + 2) break;
            const std::size_t length = load_be16(at + EVT_OFF_LENGTH);
            total += length;
            if (length < EVT_HEADER_SIZE || total > EVENT_AREA_SIZE) break;
            on_record(EventRecord(at, length));
            ++delivered;
            offset += length;
        }
        return delivered;
    }

private:
    const uint8_t* bytes_;
};

}  // namespace linkscope
