#include "tools/busdump/pcapwriter.h"

#include <cstring>

#include "common/driver/byteorder.h"

namespace busdump {

namespace {

constexpr uint32_t SNAPLEN = 0xFFFF + PcapWriter::ETHERNET_HEADER_SIZE;
constexpr uint16_t ETHERTYPE_IPV4 = sim::PcapFormat::ETHERTYPE_IPV4;
constexpr uint8_t IPV4_VERSION_IHL = 0x45;
constexpr uint16_t IPV4_DONT_FRAGMENT = 0x4000;
constexpr uint8_t IPV4_TTL = 64;
constexpr uint8_t IPPROTO_UDP_NUMBER = sim::PcapFormat::IPPROTO_UDP_NUMBER;
// Locally administered MAC addresses: the real ones are not known to a UDP receiver.
constexpr uint8_t MAC_DESTINATION[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint8_t MAC_SOURCE[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr int64_t US_PER_SECOND = 1000000;

}  // namespace

std::vector<uint8_t> PcapWriter::file_header() {
    std::vector<uint8_t> h(FILE_HEADER_SIZE, 0);
    linkscope::store_le32(&h[0], MAGIC_MICROSECONDS);
    linkscope::store_le16(&h[4], VERSION_MAJOR);
    linkscope::store_le16(&h[6], VERSION_MINOR);
    // bytes 8..15: zone offset and accuracy, both 0
    linkscope::store_le32(&h[16], SNAPLEN);
    linkscope::store_le32(&h[20], LINKTYPE_ETHERNET);
    return h;
}

uint16_t PcapWriter::ipv4_checksum(const uint8_t* header, std::size_t size) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += linkscope::load_be16(header + i);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> PcapWriter::packet(int64_t time_us, const Endpoint& source, const Endpoint& destination,
                                        const uint8_t* payload, std::size_t size, uint16_t ip_id) {
    const std::size_t captured = FRAMING_SIZE + size;
    std::vector<uint8_t> p(PACKET_HEADER_SIZE + captured, 0);
    const int64_t seconds = time_us / US_PER_SECOND;
    linkscope::store_le32(&p[0], static_cast<uint32_t>(seconds));
    linkscope::store_le32(&p[4], static_cast<uint32_t>(time_us - seconds * US_PER_SECOND));
    linkscope::store_le32(&p[8], static_cast<uint32_t>(captured));
    linkscope::store_le32(&p[12], static_cast<uint32_t>(captured));

    uint8_t* eth = &p[PACKET_HEADER_SIZE];
    std::memcpy(eth, MAC_DESTINATION, 6);
    std::memcpy(eth + 6, MAC_SOURCE, 6);
    linkscope::store_be16(eth + 12, ETHERTYPE_IPV4);

    uint8_t* ip = eth + ETHERNET_HEADER_SIZE;
    ip[0] = IPV4_VERSION_IHL;
    linkscope::store_be16(ip + 2, static_cast<uint16_t>(IPV4_HEADER_SIZE + UDP_HEADER_SIZE + size));
    linkscope::store_be16(ip + 4, ip_id);
    linkscope::store_be16(ip + 6, IPV4_DONT_FRAGMENT);
    ip[8] = IPV4_TTL;
    ip[9] = IPPROTO_UDP_NUMBER;
    linkscope::store_be32(ip + 12, source.address);
    linkscope::store_be32(ip + 16, destination.address);
    linkscope::store_be16(ip + 10, ipv4_checksum(ip, IPV4_HEADER_SIZE));

    uint8_t* udp = ip + IPV4_HEADER_SIZE;
    linkscope::store_be16(udp, source.port);
    linkscope::store_be16(udp + 2, destination.port);
    linkscope::store_be16(udp + 4, static_cast<uint16_t>(UDP_HEADER_SIZE + size));
    // UDP checksum 0: none computed, which IPv4 allows.
    if (size) std::memcpy(udp + UDP_HEADER_SIZE, payload, size);
    return p;
}

bool PcapWriter::open(const std::string& path) {
    file_.open(path, std::ios::binary | std::ios::trunc);
    if (!file_) {
        error_ = "cannot open " + path + " for writing";
        return false;
    }
    const std::vector<uint8_t> header = file_header();
    file_.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    file_.flush();
    if (!file_) {
        error_ = "cannot write to " + path;
        return false;
    }
    return true;
}

bool PcapWriter::write(int64_t time_us, const Endpoint& source, const Endpoint& destination, const uint8_t* payload,
                       std::size_t size) {
    if (!file_.is_open()) return false;
    if (size > MAX_PAYLOAD) {
        error_ = "datagram too long for an IPv4 packet";
        return false;
    }
    // Distinct IP identifications keep tools from taking two packets for fragments of one.
    const std::vector<uint8_t> bytes = packet(time_us, source, destination, payload, size, ++next_ip_id_);
    file_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file_.flush();
    if (!file_) {
        error_ = "write to the capture file failed";
        return false;
    }
    return true;
}

}  // namespace busdump
