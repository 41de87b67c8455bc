// Follows the datagram sequence numbers and the event indices of a stream, and tells where they
// do not continue: losses, restarts, resets. Pure: no clock, no socket.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/notice.h"

namespace busdump {

class StreamTracker {
public:
    // A step forward longer than this is no loss: at the gateway's highest rate it would take
    // days of silence. Such a leap (a forged number, a corrupted header) starts a new run, so
    // that no count of lost datagrams or frames is ever absurd.
    static constexpr uint64_t MAX_GAP = uint64_t{1} << 32;

    // Notices revealed by this datagram, in stream order. A malformed datagram whose header
    // could be read still moves the sequence on: it arrived, it was not lost.
    std::vector<Notice> observe(const DecodedDatagram& datagram);

    // The stream's gateway sends from a new port: its next datagram begins a new run (one
    // restart notice) unless its sequence continues the old one.
    void begin_run() { new_run_ = true; }

    // The state of another tracker, whose stream turned out to be this one's latest run.
    void take_over(const StreamTracker& latest) { *this = latest; }

    bool has_sequence() const { return have_sequence_; }
    uint64_t last_sequence() const { return last_sequence_; }

private:
    void observe_sequence(uint64_t sequence, std::vector<Notice>& out);
    void observe_index(uint64_t sequence, uint64_t index, std::vector<Notice>& out);

    bool have_sequence_ = false;
    bool new_run_ = false;
    uint64_t last_sequence_ = 0;
    uint64_t last_index_ = 0;  // 0: no indexed event seen since the start or the last restart
    // Datagrams went missing or arrived malformed since the last indexed event.
    bool datagrams_missing_ = false;
};

}  // namespace busdump
