// The datagrams this host's socket dropped because its buffer was full, and whose they were.
// The system counts them for the socket, not per sender; a sender tells its own losses by the
// gaps in its sequence, so the drops counted but not yet charged go to the next gaps seen.
#pragma once

#include <cstdint>

namespace busdump {

class ReceiveDrops {
public:
    // The socket's count as it came with a datagram (it counts from the socket's opening and
    // wraps at 2^32).
    void observe(uint32_t count);
    // Of a gap of `lost` datagrams in a sender's sequence, how many this host dropped.
    uint64_t charge(uint64_t lost);

    bool known() const { return known_; }
    uint64_t total() const { return total_; }
    uint64_t uncharged() const { return uncharged_; }

private:
    bool known_ = false;
    uint32_t last_count_ = 0;
    uint64_t total_ = 0;
    uint64_t uncharged_ = 0;
};

}  // namespace busdump
