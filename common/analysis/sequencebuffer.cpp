#include "common/analysis/sequencebuffer.h"

namespace analysis {

const SequenceCycle& SequenceBuffer::chronological(std::size_t k) const {
    const std::size_t oldest = cycles_in_use_ < CYCLES_IN_ROTATION ? 0 : (current_ + 1) % CYCLES_IN_ROTATION;
    return cycles_[(oldest + k) % CYCLES_IN_ROTATION];
}

bool SequenceBuffer::starts_new_cycle(uint16_t type, uint16_t sync_id) const {
    if (sync_pending_) return true;
    if (type == frame_type::MESSAGE && last_type_ == frame_type::PERIODIC) return true;
    return type == frame_type::PERIODIC && last_type_ == frame_type::MESSAGE && last_identifier_ != sync_id;
}

void SequenceBuffer::start_cycle(uint64_t time) {
    cycles_[current_].end_time = time;
    current_ = static_cast<uint32_t>((current_ + 1) % CYCLES_IN_ROTATION);
    SequenceCycle& fresh = cycles_[current_];
    fresh.type = 0;
    fresh.count = 0;
    fresh.end_time = 0;
    if (cycles_in_use_ < CYCLES_IN_ROTATION) ++cycles_in_use_;
}

void SequenceBuffer::append(uint16_t type, uint16_t identifier, uint64_t time, uint16_t sync_id) {
    if (cycles_in_use_ == 0)
        cycles_in_use_ = 1;
    else if (starts_new_cycle(type, sync_id))
        start_cycle(time);
    sync_pending_ = false;

    SequenceCycle& cycle = cycles_[current_];
    if (cycle.count == 0) {
        cycle.type = type;
        cycle.stamps[SequenceCycle::START_STAMP] = time;
    } else if (type == frame_type::OTHER)
        cycle.type = frame_type::OTHER;
    if (++cycle.count > SequenceCycle::MAX_ENTRIES) cycle.count = 1;
    cycle.entries[cycle.count] = (static_cast<uint32_t>(type) << 16) | identifier;
    cycle.stamps[cycle.count] = time;
    last_type_ = type;
    last_identifier_ = identifier;
}

}  // namespace analysis
