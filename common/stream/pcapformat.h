// The layout of classic pcap files as busdump writes them and the simulator replays them:
// the file header, the per-packet header, and the link, IPv4 and UDP headers around a datagram.
#pragma once

#include <cstddef>
#include <cstdint>

struct PcapFormat {
    // File header magic numbers, as read in the file's own byte order.
    static constexpr uint32_t MAGIC_MICROSECONDS = 0xA1B2C3D4;
    static constexpr uint32_t MAGIC_NANOSECONDS = 0xA1B23C4D;
    static constexpr uint16_t VERSION_MAJOR = 2;
    static constexpr uint16_t VERSION_MINOR = 4;
    static constexpr std::size_t FILE_HEADER_SIZE = 24;
    static constexpr std::size_t FILE_OFF_VERSION_MAJOR = 4;
    static constexpr std::size_t FILE_OFF_VERSION_MINOR = 6;
    static constexpr std::size_t FILE_OFF_SNAPLEN = 16;
    static constexpr std::size_t FILE_OFF_LINKTYPE = 20;

    static constexpr std::size_t PACKET_HEADER_SIZE = 16;
    static constexpr std::size_t PACKET_OFF_SECONDS = 0;
    static constexpr std::size_t PACKET_OFF_FRACTION = 4;
    static constexpr std::size_t PACKET_OFF_CAPTURED = 8;
    static constexpr std::size_t PACKET_OFF_ORIGINAL = 12;

    static constexpr uint32_t LINKTYPE_ETHERNET = 1;
    static constexpr uint32_t LINKTYPE_RAW = 101;        // an IPv4 or IPv6 packet, no link header
    static constexpr uint32_t LINKTYPE_LINUX_SLL = 113;  // tcpdump -i any
    static constexpr uint32_t LINKTYPE_IPV4 = 228;

    static constexpr std::size_t ETHERNET_HEADER_SIZE = 14;
    static constexpr std::size_t ETHERNET_OFF_TYPE = 12;
    static constexpr std::size_t VLAN_TAG_SIZE = 4;
    static constexpr std::size_t SLL_HEADER_SIZE = 16;
    static constexpr std::size_t SLL_OFF_PROTOCOL = 14;
    static constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
    static constexpr uint16_t ETHERTYPE_VLAN = 0x8100;

    static constexpr std::size_t IPV4_HEADER_SIZE = 20;  // without options
    static constexpr uint8_t IPV4_VERSION = 4;
    static constexpr std::size_t IPV4_OFF_TOTAL_LENGTH = 2;
    static constexpr std::size_t IPV4_OFF_FRAGMENT = 6;
    static constexpr uint16_t IPV4_MORE_FRAGMENTS = 0x2000;
    static constexpr uint16_t IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;
    static constexpr std::size_t IPV4_OFF_PROTOCOL = 9;
    static constexpr std::size_t IPV4_OFF_SOURCE = 12;
    static constexpr uint8_t IPPROTO_UDP_NUMBER = 17;

    static constexpr std::size_t UDP_HEADER_SIZE = 8;
    static constexpr std::size_t UDP_OFF_SOURCE_PORT = 0;
    static constexpr std::size_t UDP_OFF_LENGTH = 4;
};

static_assert(PcapFormat::FILE_OFF_LINKTYPE + 4 == PcapFormat::FILE_HEADER_SIZE, "link type ends the file header");
static_assert(PcapFormat::PACKET_OFF_ORIGINAL + 4 == PcapFormat::PACKET_HEADER_SIZE, "four words per packet header");
