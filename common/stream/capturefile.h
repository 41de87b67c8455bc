// Reads the UDP datagrams out of a classic pcap file (busdump -w writes one; tcpdump and
// Wireshark too), one packet at a time, so that a capture of any length streams through.
// Packets that are not whole IPv4 UDP datagrams (other protocols, fragments, packets cut by the
// snapshot length) are skipped and counted. Every length is checked before it is used.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

class CaptureFile {
public:
    struct Packet {
        int64_t time_us = 0;           // capture time stamp
        uint32_t source_address = 0;   // IPv4, host order
        uint16_t source_port = 0;
        std::vector<uint8_t> payload;  // the UDP payload
    };

    // Whether these first bytes of a file are a pcap magic number (either byte order).
    static bool is_capture(const uint8_t* first, std::size_t size);

    // Opens `path` and reads its file header; null with `error` set when the file cannot be
    // read or is no pcap file of a link type this reader knows.
    static std::unique_ptr<CaptureFile> open(const std::string& path, std::string* error);

    // The next UDP datagram; false at the end of the file or where it is damaged.
    bool next(Packet& out);
    // Back to the first packet.
    void rewind();

    uint64_t skipped() const { return skipped_; }  // packets that were not whole UDP datagrams
    // The file ended inside a packet, or a packet header gave an impossible length.
    bool damaged() const { return damaged_; }

private:
    CaptureFile(const std::string& path, bool swapped, bool nanoseconds, uint32_t link_type);

    uint32_t word(const uint8_t* bytes) const;
    // Offset of the IPv4 header inside a link-layer frame; false when the frame carries none.
    bool ipv4_offset(const std::vector<uint8_t>& frame, std::size_t& offset) const;
    bool udp_payload(const std::vector<uint8_t>& frame, Packet& out) const;

    std::ifstream file_;
    const bool swapped_;
    const bool nanoseconds_;
    const uint32_t link_type_;
    uint64_t skipped_ = 0;
    bool damaged_ = false;
    std::vector<uint8_t> frame_;
};
