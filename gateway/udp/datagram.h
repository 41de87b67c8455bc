// One outgoing UDP datagram: a 16-byte big-endian header followed by whole queued records.
// The payload is collected first; the header is written in front of it when the datagram closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Datagram {
public:
    static constexpr uint8_t MAGIC_0 = 0x4C;  // 'L'
    static constexpr uint8_t MAGIC_1 = 0x53;  // 'S'
    static constexpr uint8_t MARK = 0x01;
    static constexpr uint8_t RESERVED = 0x00;

    static constexpr std::size_t OFF_MAGIC = 0;
    static constexpr std::size_t OFF_MARK = 2;
    static constexpr std::size_t OFF_RESERVED = 3;
    static constexpr std::size_t OFF_SEQUENCE = 4;
    static constexpr std::size_t OFF_RECORD_COUNT = 12;
    static constexpr std::size_t HEADER_SIZE = 16;

    // A payload longer than this closes the datagram.
    static constexpr std::size_t PAYLOAD_CLOSE_THRESHOLD = 64994;
    // Largest UDP payload over IPv4: no datagram may be longer.
    static constexpr std::size_t MAX_UDP_PAYLOAD = 65507;

    // Every record starts with its type byte and its big-endian 16-bit total length.
    static constexpr std::size_t RECORD_OFF_TYPE = 0;
    static constexpr std::size_t RECORD_OFF_LENGTH = 1;
    static constexpr std::size_t RECORD_MIN_SIZE = 3;

    struct Header {
        uint64_t sequence = 0;
        uint32_t record_count = 0;
    };

    // Writes HEADER_SIZE bytes at out.
    static void encode_header(const Header& header, uint8_t* out);
    // False when fewer than HEADER_SIZE bytes are given or the magic, mark or reserved byte is wrong.
    static bool decode_header(const uint8_t* data, std::size_t size, Header& out);

    Datagram();

    bool empty() const { return record_count_ == 0; }
    uint32_t record_count() const { return record_count_; }
    std::size_t payload_size() const { return bytes_.size() - HEADER_SIZE; }
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

static_assert(Datagram::HEADER_SIZE == 16, "datagram header is 16 bytes");
static_assert(Datagram::OFF_RECORD_COUNT + 4 == Datagram::HEADER_SIZE, "record count ends the header");
static_assert(Datagram::OFF_SEQUENCE + 8 == Datagram::OFF_RECORD_COUNT, "64-bit sequence number");
static_assert(Datagram::HEADER_SIZE + Datagram::PAYLOAD_CLOSE_THRESHOLD < Datagram::MAX_UDP_PAYLOAD,
              "the size threshold leaves room for a last record");
