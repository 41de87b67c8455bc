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
    // Notices revealed by this datagram, in stream order. A malformed datagram whose header
    // could be read still moves the sequence on: it arrived, it was not lost.
    std::vector<Notice> observe(const DecodedDatagram& datagram);

private:
    void observe_sequence(uint64_t sequence, std::vector<Notice>& out);
    void observe_index(uint64_t sequence, uint64_t index, std::vector<Notice>& out);

    bool have_sequence_ = false;
    uint64_t last_sequence_ = 0;
    uint64_t last_index_ = 0;  // 0: no indexed event seen since the start or the last restart
};

}  // namespace busdump
