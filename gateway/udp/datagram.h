// One outgoing UDP datagram: a 16-byte big-endian header followed by whole queued records.
// The payload is collected first; the header is written in front of it when the datagram closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/stream/datagramheader.h"

class Datagram {
public:
    // A payload longer than this closes the datagram.
    static constexpr std::size_t PAYLOAD_CLOSE_THRESHOLD = 64994;
    // Largest UDP payload over IPv4: no datagram may be longer.
    static constexpr std::size_t MAX_UDP_PAYLOAD = 65507;

    Datagram();

    bool empty() const { return record_count_ == 0; }
    uint32_t record_count() const { return record_count_; }
    std::size_t payload_size() const { return bytes_.size() - DatagramHeader::HEADER_SIZE; }
    std::size_t size() const { return bytes_.size(); }

    // Whether a record of this length still fits in the IPv4 limit behind what is collected.
    bool has_room_for(std::size_t record_size) const {
        return record_size <= MAX_UDP_PAYLOAD - bytes_.size();
    }
    bool payload_over_threshold() const { return payload_size() > PAYLOAD_CLOSE_THRESHOLD; }

    void append(const std::vector<char>& record);

    // Writes the header with this sequence number and the record count; the bytes stay valid
    // until the next clear() or append().
    const std::vector<uint8_t>& close(uint64_t sequence);

    void clear();

private:
    std::vector<uint8_t> bytes_;  // header space, then the payload
    uint32_t record_count_ = 0;
};

static_assert(DatagramHeader::HEADER_SIZE + Datagram::PAYLOAD_CLOSE_THRESHOLD < Datagram::MAX_UDP_PAYLOAD,
              "the size threshold leaves room for a last record");
