// Writes received datagrams to a classic pcap file, each wrapped in Ethernet, IPv4 and UDP
// headers rebuilt from its sender and the listening address, stamped with its receive time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/stream/pcapformat.h"

class PcapWriter {
public:
    struct Endpoint {
        uint32_t address = 0;  // IPv4, host order
        uint16_t port = 0;
    };

    // The headers written around each datagram: Ethernet, IPv4 without options, UDP.
    static constexpr std::size_t FRAMING_SIZE =
        PcapFormat::ETHERNET_HEADER_SIZE + PcapFormat::IPV4_HEADER_SIZE + PcapFormat::UDP_HEADER_SIZE;
    // The IPv4 total length field caps what one packet can carry.
    static constexpr std::size_t MAX_PAYLOAD = 0xFFFF - PcapFormat::IPV4_HEADER_SIZE - PcapFormat::UDP_HEADER_SIZE;

    // Opens (truncates) the file and writes the file header; false with the reason in error().
    bool open(const std::string& path);
    bool is_open() const { return file_.is_open(); }
    const std::string& error() const { return error_; }

    // One packet; flushed at once so that a file cut short by a signal is still readable.
    // A payload over MAX_PAYLOAD is refused.
    bool write(int64_t time_us, const Endpoint& source, const Endpoint& destination, const uint8_t* payload,
               std::size_t size);

    // The bytes of one packet record (packet header and framing included), for tests and write().
    static std::vector<uint8_t> packet(int64_t time_us, const Endpoint& source, const Endpoint& destination,
                                       const uint8_t* payload, std::size_t size, uint16_t ip_id = 0);
    // The link-layer frame alone (Ethernet, IPv4, UDP and the payload), as pcapng carries it.
    static std::vector<uint8_t> frame(const Endpoint& source, const Endpoint& destination, const uint8_t* payload,
                                      std::size_t size, uint16_t ip_id = 0);
    static std::vector<uint8_t> file_header();
    static uint16_t ipv4_checksum(const uint8_t* header, std::size_t size);

private:
    std::ofstream file_;
    std::string error_;
    uint16_t next_ip_id_ = 0;
};
