// Encodes pcapng blocks for busdump's capture files: the section header, one interface
// description per sender (its address, port and card serial in the interface's name and
// description), and an enhanced packet block per datagram, which may carry a comment (busdump
// notes there the losses found just before the datagram). The frames inside are the Ethernet,
// IPv4 and UDP packets PcapWriter builds, so a dissector reads them as in a pcap file.
// Blocks are written little-endian, whatever the host's byte order. Pure: no file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/stream/pcapngformat.h"
#include "common/stream/pcapwriter.h"

class PcapngWriter {
public:
    struct Interface {
        PcapWriter::Endpoint source;       // the sender
        PcapWriter::Endpoint destination;  // where it was received
        std::optional<uint32_t> serial;    // its card, when a lifesign named it
    };

    static std::vector<uint8_t> section_header(const std::string& application);
    static std::vector<uint8_t> interface_description(const Interface& interface);
    // `time_us`: microseconds since 1970-01-01 UTC (the interfaces keep the default resolution).
    static std::vector<uint8_t> enhanced_packet(uint32_t interface_id, int64_t time_us, const std::vector<uint8_t>& frame,
                                                const std::string& comment = std::string());

    // "busgate 10.0.0.5:40001 sn 0x00c0ffee" ("sn unknown" when no lifesign named the card).
    static std::string interface_name(const Interface& interface);
    static std::string interface_description_text(const Interface& interface);
    static std::string address_text(uint32_t address);
    static std::string serial_text(uint32_t serial);
};
