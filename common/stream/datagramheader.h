// The 16-byte big-endian header in front of every datagram of the stream: the letters "LS", a
// mark, a reserved byte, the 64-bit sequence number and the 32-bit count of the records behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct DatagramHeader {
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

    uint64_t sequence = 0;
    uint32_t record_count = 0;

    // Writes HEADER_SIZE bytes at out.
    void encode(uint8_t* out) const;
    // Reads the header at the start of a datagram. False, with `out` untouched and the reason in
    // *error when error is given, when fewer than HEADER_SIZE bytes are given or the magic, mark
    // or reserved byte is wrong.
    static bool decode(const uint8_t* data, std::size_t size, DatagramHeader& out, std::string* error = nullptr);
};

static_assert(DatagramHeader::HEADER_SIZE == 16, "datagram header is 16 bytes");
static_assert(DatagramHeader::OFF_RECORD_COUNT + 4 == DatagramHeader::HEADER_SIZE, "record count ends the header");
static_assert(DatagramHeader::OFF_SEQUENCE + 8 == DatagramHeader::OFF_RECORD_COUNT, "64-bit sequence number");
