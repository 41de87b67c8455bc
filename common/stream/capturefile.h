// Reads the UDP datagrams out of a pcap or pcapng file (busdump -w writes either; tcpdump and
// Wireshark too), one packet at a time, so that a capture of any length streams through.
// Packets that are not whole IPv4 UDP datagrams (other protocols, fragments, packets cut by the
// snapshot length) are skipped and counted. Every length is checked before it is used.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/stream/pcapngreader.h"

class CaptureFile {
public:
    struct Packet {
        int64_t time_us = 0;           // capture time stamp
        uint32_t source_address = 0;   // IPv4, host order
        uint16_t source_port = 0;
        std::vector<uint8_t> payload;  // the UDP payload
    };

    // Whether these first bytes of a file are a pcap magic number (either byte order) or a
    // pcapng section header.
    static bool is_capture(const uint8_t* first, std::size_t size);

    // Opens `path` and reads its file header; null with `error` set when the file cannot be
    // read, is no pcap or pcapng file, or (pcap) has a link type this reader does not know.
    // In pcapng, packets of interfaces with such a link type are skipped.
    static std::unique_ptr<CaptureFile> open(const std::string& path, std::string* error);

    // The next UDP datagram; false at the end of the file or where it is damaged.
    bool next(Packet& out);
    // Back to the first packet.
    void rewind();

    uint64_t skipped() const { return skipped_; }  // packets that were not whole UDP datagrams
    // The file ended inside a packet, or a packet header gave an impossible length.
    bool damaged() const { return damaged_; }
    // Where and why, when damaged (pcapng tells the block).
    const std::string& problem() const { return problem_; }
    // A link type of a pcapng interface whose packets were skipped; 0: none.
    uint32_t unknown_link_type() const { return unknown_link_type_; }

private:
    CaptureFile(const std::string& path, bool swapped, bool nanoseconds, uint32_t link_type);
    static std::unique_ptr<CaptureFile> open_pcapng(const std::string& path, std::string* error);

    uint32_t word(const uint8_t* bytes) const;
    bool next_pcap(Packet& out);
    bool next_pcapng(Packet& out);
    // Offset of the IPv4 header inside a link-layer frame; false when the frame carries none.
    static bool ipv4_offset(uint32_t link_type, const std::vector<uint8_t>& frame, std::size_t& offset);
    static bool udp_payload(uint32_t link_type, const std::vector<uint8_t>& frame, Packet& out);

    std::ifstream file_;
    const bool swapped_;
    const bool nanoseconds_;
    const uint32_t link_type_;
    uint64_t skipped_ = 0;
    bool damaged_ = false;
    std::string problem_;
    uint32_t unknown_link_type_ = 0;
    std::vector<uint8_t> frame_;
    std::unique_ptr<PcapngReader> pcapng_;  // set for a pcapng file
    PcapngReader::Frame pcapng_frame_;
};
