// The identifier sequence of a bus, cut into bus cycles. Trivially copyable, so that the
// diagnostic task can take a copy under the sequence lock and analyse it without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace analysis {

// Frame types of the sequence entries.
namespace frame_type {
constexpr uint16_t PERIODIC = 1;  // control byte 0x03
constexpr uint16_t MESSAGE = 2;   // control byte 0x05
constexpr uint16_t OTHER = 3;
}  // namespace frame_type

struct SequenceCycle {
    static constexpr std::size_t MAX_ENTRIES = 999;

    uint32_t type;
    uint32_t count;                        // entries 1 to count are in use
    uint32_t entries[MAX_ENTRIES + 1];     // frame type << 16 | identifier; [0] unused
    // stamps[i]: time stamp of entry i. stamps[0] holds the time stamp of the cycle's first
    // entry, kept apart from the entries: a cycle longer than MAX_ENTRIES identifiers starts
    // again at entry 1 and overwrites the entries' stamps, but not its start.
    uint64_t stamps[MAX_ENTRIES + 1];
    uint64_t end_time;

    static uint16_t identifier_of(uint32_t entry) { return static_cast<uint16_t>(entry & 0xFFFF); }
    uint64_t start_time() const { return count ? stamps[START_STAMP] : 0; }

    static constexpr std::size_t START_STAMP = 0;
};

class SequenceBuffer {
public:
    static constexpr std::size_t CYCLE_SLOTS = 50;
    // Cycles in rotation: the 50th record is never used.
    static constexpr std::size_t CYCLES_IN_ROTATION = 49;

    // A 0x03 frame that carries sync_id: not recorded, the next frame starts a new cycle.
    void mark_sync() { sync_pending_ = true; }
    // Records one identifier frame.
    void append(uint16_t type, uint16_t identifier, uint64_t time, uint16_t sync_id);

    std::size_t cycles_in_use() const { return cycles_in_use_; }
    // The k-th cycle in time order (0 the oldest); the last of cycles_in_use() is still open.
    const SequenceCycle& chronological(std::size_t k) const;

private:
    bool starts_new_cycle(uint16_t type, uint16_t sync_id) const;
    void start_cycle(uint64_t time);

    uint32_t cycles_in_use_ = 0;
    uint32_t current_ = 0;
    bool sync_pending_ = false;
    uint16_t last_type_ = 0;
    uint16_t last_identifier_ = 0;
    SequenceCycle cycles_[CYCLE_SLOTS] = {};
};

static_assert(std::is_trivially_copyable<SequenceBuffer>::value, "copied whole under the sequence lock");
static_assert(sizeof(SequenceCycle) == 12016, "a cycle record is 12016 bytes");

}  // namespace analysis
