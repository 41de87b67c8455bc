#include "common/stream/pcapwriter.h"

#include <cstring>

#include "common/driver/byteorder.h"

namespace {

using F = PcapFormat;

constexpr uint32_t SNAPLEN = 0xFFFF + F::ETHERNET_HEADER_SIZE;
constexpr uint8_t IPV4_VERSION_IHL = (F::IPV4_VERSION << 4) | (F::IPV4_HEADER_SIZE / 4);
constexpr uint16_t IPV4_DONT_FRAGMENT = 0x4000;
constexpr uint8_t IPV4_TTL = 64;
// Field offsets that only the writer needs: the reader skips these fields.
constexpr std::size_t ETHERNET_OFF_DESTINATION = 0;
constexpr std::size_t ETHERNET_OFF_SOURCE = 6;
constexpr std::size_t MAC_SIZE = 6;
constexpr std::size_t IPV4_OFF_IDENTIFICATION = 4;
constexpr std::size_t IPV4_OFF_TTL = 8;
constexpr std::size_t IPV4_OFF_CHECKSUM = 10;
constexpr std::size_t IPV4_OFF_DESTINATION = 16;
constexpr std::size_t UDP_OFF_DESTINATION_PORT = 2;
// Locally administered MAC addresses: the real ones are not known to a UDP receiver.
constexpr uint8_t MAC_DESTINATION[MAC_SIZE] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint8_t MAC_SOURCE[MAC_SIZE] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr int64_t US_PER_SECOND = 1000000;

static_assert(IPV4_VERSION_IHL == 0x45, "IPv4, five header words");

}  // namespace

std::vector<uint8_t> PcapWriter::file_header() {
    std::vector<uint8_t> h(F::FILE_HEADER_SIZE, 0);
    linkscope::store_le32(&h[0], F::MAGIC_MICROSECONDS);
    linkscope::store_le16(&h[F::FILE_OFF_VERSION_MAJOR], F::VERSION_MAJOR);
    linkscope::store_le16(&h[F::FILE_OFF_VERSION_MINOR], F::VERSION_MINOR);
    // bytes 8..15: zone offset and accuracy, both 0
    linkscope::store_le32(&h[F::FILE_OFF_SNAPLEN], SNAPLEN);
    linkscope::store_le32(&h[F::FILE_OFF_LINKTYPE], F::LINKTYPE_ETHERNET);
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
    const std::vector<uint8_t> link = frame(source, destination, payload, size, ip_id);
    std::vector<uint8_t> p(F::PACKET_HEADER_SIZE + link.size(), 0);
    const int64_t seconds = time_us / US_PER_SECOND;
    linkscope::store_le32(&p[F::PACKET_OFF_SECONDS], static_cast<uint32_t>(seconds));
    linkscope::store_le32(&p[F::PACKET_OFF_FRACTION], static_cast<uint32_t>(time_us - seconds * US_PER_SECOND));
    linkscope::store_le32(&p[F::PACKET_OFF_CAPTURED], static_cast<uint32_t>(link.size()));
    linkscope::store_le32(&p[F::PACKET_OFF_ORIGINAL], static_cast<uint32_t>(link.size()));
    std::memcpy(p.data() + F::PACKET_HEADER_SIZE, link.data(), link.size());
    return p;
}

std::vector<uint8_t> PcapWriter::frame(const Endpoint& source, const Endpoint& destination, const uint8_t* payload,
                                       std::size_t size, uint16_t ip_id) {
    std::vector<uint8_t> p(FRAMING_SIZE + size, 0);
    uint8_t* eth = p.data();
    std::memcpy(eth + ETHERNET_OFF_DESTINATION, MAC_DESTINATION, MAC_SIZE);
    std::memcpy(eth + ETHERNET_OFF_SOURCE, MAC_SOURCE, MAC_SIZE);
    linkscope::store_be16(eth + F::ETHERNET_OFF_TYPE, F::ETHERTYPE_IPV4);

    uint8_t* ip = eth + F::ETHERNET_HEADER_SIZE;
    ip[0] = IPV4_VERSION_IHL;
    linkscope::store_be16(ip + F::IPV4_OFF_TOTAL_LENGTH,
                          static_cast<uint16_t>(F::IPV4_HEADER_SIZE + F::UDP_HEADER_SIZE + size));
    linkscope::store_be16(ip + IPV4_OFF_IDENTIFICATION, ip_id);
    linkscope::store_be16(ip + F::IPV4_OFF_FRAGMENT, IPV4_DONT_FRAGMENT);
    ip[IPV4_OFF_TTL] = IPV4_TTL;
    ip[F::IPV4_OFF_PROTOCOL] = F::IPPROTO_UDP_NUMBER;
    linkscope::store_be32(ip + F::IPV4_OFF_SOURCE, source.address);
    linkscope::store_be32(ip + IPV4_OFF_DESTINATION, destination.address);
    linkscope::store_be16(ip + IPV4_OFF_CHECKSUM, ipv4_checksum(ip, F::IPV4_HEADER_SIZE));

    uint8_t* udp = ip + F::IPV4_HEADER_SIZE;
    linkscope::store_be16(udp + F::UDP_OFF_SOURCE_PORT, source.port);
    linkscope::store_be16(udp + UDP_OFF_DESTINATION_PORT, destination.port);
    linkscope::store_be16(udp + F::UDP_OFF_LENGTH, static_cast<uint16_t>(F::UDP_HEADER_SIZE + size));
    // UDP checksum 0: none computed, which IPv4 allows.
    if (size) std::memcpy(udp + F::UDP_HEADER_SIZE, payload, size);
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
