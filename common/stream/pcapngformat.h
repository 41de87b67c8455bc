// The layout of pcapng files as busdump writes them and the simulator replays them: the block
// frame shared by every block, and the section header, interface description and packet blocks
// with the options used here. Integers are in the byte order the section header announces.
#pragma once

#include <cstddef>
#include <cstdint>

struct PcapngFormat {
    // Every block: type, total length, body, the total length again; lengths are multiples of 4.
    static constexpr std::size_t BLOCK_HEADER_SIZE = 8;
    static constexpr std::size_t BLOCK_TRAILER_SIZE = 4;
    static constexpr std::size_t BLOCK_MIN_SIZE = BLOCK_HEADER_SIZE + BLOCK_TRAILER_SIZE;
    static constexpr std::size_t BLOCK_ALIGNMENT = 4;

    static constexpr uint32_t BLOCK_SECTION_HEADER = 0x0A0D0D0A;  // the same in either byte order
    static constexpr uint32_t BLOCK_INTERFACE_DESCRIPTION = 0x00000001;
    static constexpr uint32_t BLOCK_SIMPLE_PACKET = 0x00000003;
    static constexpr uint32_t BLOCK_ENHANCED_PACKET = 0x00000006;

    // Section header body: byte-order magic, version, section length (-1: not given).
    static constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
    static constexpr uint16_t VERSION_MAJOR = 1;
    static constexpr uint16_t VERSION_MINOR = 0;
    static constexpr std::size_t SECTION_OFF_BYTE_ORDER = 8;  // from the block's start
    static constexpr std::size_t SECTION_BODY_SIZE = 16;

    // Interface description body: link type, reserved, snapshot length, then options.
    static constexpr std::size_t INTERFACE_OFF_LINKTYPE = 0;
    static constexpr std::size_t INTERFACE_OFF_SNAPLEN = 4;
    static constexpr std::size_t INTERFACE_BODY_SIZE = 8;

    // Enhanced packet body: interface id, time stamp high and low words, captured and original
    // lengths, the packet padded to 4 bytes, then options.
    static constexpr std::size_t PACKET_OFF_INTERFACE = 0;
    static constexpr std::size_t PACKET_OFF_TIME_HIGH = 4;
    static constexpr std::size_t PACKET_OFF_TIME_LOW = 8;
    static constexpr std::size_t PACKET_OFF_CAPTURED = 12;
    static constexpr std::size_t PACKET_OFF_ORIGINAL = 16;
    static constexpr std::size_t PACKET_BODY_SIZE = 20;
    // Simple packet body: original length, then the packet.
    static constexpr std::size_t SIMPLE_PACKET_BODY_SIZE = 4;

    // Options: code, length, value padded to 4 bytes; a list ends with opt_endofopt.
    static constexpr std::size_t OPTION_HEADER_SIZE = 4;
    static constexpr uint16_t OPT_END = 0;
    static constexpr uint16_t OPT_COMMENT = 1;
    static constexpr uint16_t OPT_SHB_USERAPPL = 4;
    static constexpr uint16_t OPT_IF_NAME = 2;
    static constexpr uint16_t OPT_IF_DESCRIPTION = 3;
    static constexpr uint16_t OPT_IF_TSRESOL = 9;
    static constexpr uint16_t OPT_IF_TSOFFSET = 14;
    static constexpr uint8_t TSRESOL_BINARY = 0x80;     // the rest is a power of 2, not of 10
    static constexpr uint8_t TSRESOL_MICROSECONDS = 6;  // the default: 10^-6 s

    static constexpr std::size_t padded(std::size_t size) {
        return (size + BLOCK_ALIGNMENT - 1) / BLOCK_ALIGNMENT * BLOCK_ALIGNMENT;
    }
};

static_assert(PcapngFormat::SECTION_OFF_BYTE_ORDER == PcapngFormat::BLOCK_HEADER_SIZE, "magic opens the body");
static_assert(PcapngFormat::PACKET_OFF_ORIGINAL + 4 == PcapngFormat::PACKET_BODY_SIZE, "five words per packet");
static_assert(PcapngFormat::INTERFACE_OFF_SNAPLEN + 4 == PcapngFormat::INTERFACE_BODY_SIZE, "two words per interface");
static_assert(PcapngFormat::padded(5) == 8 && PcapngFormat::padded(8) == 8, "padding to 4 bytes");
