#include "common/stream/capturefile.h"

#include <cerrno>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/stream/pcapformat.h"

namespace {

using F = PcapFormat;

// Larger than any snapshot length tools write; a longer packet means a damaged file.
constexpr uint32_t MAX_CAPTURED = 262144;
constexpr int64_t US_PER_SECOND = 1000000;
constexpr uint32_t NS_PER_US = 1000;

uint32_t byte_swap(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

bool known_magic(uint32_t magic) { return magic == F::MAGIC_MICROSECONDS || magic == F::MAGIC_NANOSECONDS; }

bool known_link_type(uint32_t type) {
    return type == F::LINKTYPE_ETHERNET || type == F::LINKTYPE_RAW || type == F::LINKTYPE_LINUX_SLL ||
           type == F::LINKTYPE_IPV4;
}

}  // namespace

bool CaptureFile::is_capture(const uint8_t* first, std::size_t size) {
    if (size < 4) return false;
    const uint32_t magic = linkscope::load_le32(first);
    return known_magic(magic) || known_magic(byte_swap(magic)) || PcapngReader::is_pcapng(first, size);
}

std::unique_ptr<CaptureFile> CaptureFile::open_pcapng(const std::string& path, std::string* error) {
    std::unique_ptr<CaptureFile> file(new CaptureFile(path, false, false, 0));
    if (!file->file_) {
        *error = "replay: cannot read '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    file->pcapng_.reset(new PcapngReader);
    std::string why;
    if (!file->pcapng_->start(&file->file_, &why)) {
        *error = "replay: '" + path + "' is no readable pcapng file: " + why;
        return nullptr;
    }
    return file;
}

std::unique_ptr<CaptureFile> CaptureFile::open(const std::string& path, std::string* error) {
    errno = 0;
    std::ifstream probe(path, std::ios::binary);
    uint8_t header[F::FILE_HEADER_SIZE] = {};
    if (probe) probe.read(reinterpret_cast<char*>(header), sizeof header);
    if (PcapngReader::is_pcapng(header, static_cast<std::size_t>(probe.gcount()))) return open_pcapng(path, error);
    if (!probe) {
        *error = "replay: cannot read the pcap file header of '" + path + "'" +
                 (errno ? std::string(": ") + std::strerror(errno) : std::string());
        return nullptr;
    }
    const uint32_t magic = linkscope::load_le32(header);
    const bool swapped = !known_magic(magic);
    const uint32_t native = swapped ? byte_swap(magic) : magic;
    if (!known_magic(native)) {
        *error = "replay: '" + path + "' is not a pcap file";
        return nullptr;
    }
    const auto read_word = [&](std::size_t offset) {
        const uint32_t v = linkscope::load_le32(header + offset);
        return swapped ? byte_swap(v) : v;
    };
    const uint32_t link_type = read_word(F::FILE_OFF_LINKTYPE) & 0xFFFF;  // upper bits: FCS flags
    if (!known_link_type(link_type)) {
        *error = "replay: '" + path + "' has link type " + std::to_string(link_type) +
                 " (Ethernet, Linux cooked or raw IPv4 are replayed)";
        return nullptr;
    }
    std::unique_ptr<CaptureFile> file(new CaptureFile(path, swapped, native == F::MAGIC_NANOSECONDS, link_type));
    if (!file->file_) {
        *error = "replay: cannot read '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    file->rewind();
    return file;
}

CaptureFile::CaptureFile(const std::string& path, bool swapped, bool nanoseconds, uint32_t link_type)
    : file_(path, std::ios::binary), swapped_(swapped), nanoseconds_(nanoseconds), link_type_(link_type) {}

uint32_t CaptureFile::word(const uint8_t* bytes) const {
    const uint32_t v = linkscope::load_le32(bytes);
    return swapped_ ? byte_swap(v) : v;
}

void CaptureFile::rewind() {
    skipped_ = 0;
    damaged_ = false;
    problem_.clear();
    unknown_link_type_ = 0;
    if (pcapng_) {
        pcapng_->rewind();
        return;
    }
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(F::FILE_HEADER_SIZE));
}

bool CaptureFile::next(Packet& out) { return pcapng_ ? next_pcapng(out) : next_pcap(out); }

bool CaptureFile::next_pcapng(Packet& out) {
    for (;;) {
        switch (pcapng_->next(pcapng_frame_)) {
            case PcapngReader::Result::end: return false;
            case PcapngReader::Result::damaged:
                damaged_ = true;
                problem_ = pcapng_->problem();
                return false;
            case PcapngReader::Result::packet: break;
        }
        const uint32_t link_type = pcapng_frame_.link_type;
        if (!known_link_type(link_type)) unknown_link_type_ = link_type;
        if (!known_link_type(link_type) || !pcapng_frame_.whole || !udp_payload(link_type, pcapng_frame_.bytes, out)) {
            ++skipped_;
            continue;
        }
        out.time_us = pcapng_frame_.time_us;
        return true;
    }
}

bool CaptureFile::next_pcap(Packet& out) {
    for (;;) {
        uint8_t header[F::PACKET_HEADER_SIZE];
        file_.read(reinterpret_cast<char*>(header), sizeof header);
        if (file_.gcount() == 0) return false;
        if (file_.gcount() != static_cast<std::streamsize>(sizeof header)) {
            damaged_ = true;
            problem_ = "the file ends inside a packet header";
            return false;
        }
        const uint32_t captured = word(header + F::PACKET_OFF_CAPTURED);
        const uint32_t original = word(header + F::PACKET_OFF_ORIGINAL);
        if (captured > MAX_CAPTURED) {
            damaged_ = true;
            problem_ = "a packet header gives " + std::to_string(captured) + " bytes, more than any packet";
            return false;
        }
        frame_.resize(captured);
        file_.read(reinterpret_cast<char*>(frame_.data()), static_cast<std::streamsize>(captured));
        if (file_.gcount() != static_cast<std::streamsize>(captured)) {
            damaged_ = true;
            problem_ = "the file ends inside a packet";
            return false;
        }
        if (captured < original || !udp_payload(link_type_, frame_, out)) {
            ++skipped_;
            continue;
        }
        const uint32_t fraction = word(header + F::PACKET_OFF_FRACTION);
        out.time_us = static_cast<int64_t>(word(header + F::PACKET_OFF_SECONDS)) * US_PER_SECOND +
                      (nanoseconds_ ? fraction / NS_PER_US : fraction);
        return true;
    }
}

bool CaptureFile::ipv4_offset(uint32_t link_type, const std::vector<uint8_t>& frame, std::size_t& offset) {
    switch (link_type) {
        case F::LINKTYPE_RAW:
        case F::LINKTYPE_IPV4: offset = 0; return true;
        case F::LINKTYPE_LINUX_SLL:
            if (frame.size() < F::SLL_HEADER_SIZE) return false;
            offset = F::SLL_HEADER_SIZE;
            return linkscope::load_be16(frame.data() + F::SLL_OFF_PROTOCOL) == F::ETHERTYPE_IPV4;
        default: break;
    }
    std::size_t type_at = F::ETHERNET_OFF_TYPE;
    while (type_at + 2 <= frame.size() && linkscope::load_be16(frame.data() + type_at) == F::ETHERTYPE_VLAN)
        type_at += F::VLAN_TAG_SIZE;
    if (type_at + 2 > frame.size() || linkscope::load_be16(frame.data() + type_at) != F::ETHERTYPE_IPV4) return false;
    offset = type_at + 2;
    return true;
}

bool CaptureFile::udp_payload(uint32_t link_type, const std::vector<uint8_t>& frame, Packet& out) {
    std::size_t ip_at = 0;
    if (!ipv4_offset(link_type, frame, ip_at) || ip_at + F::IPV4_HEADER_SIZE > frame.size()) return false;
    const uint8_t* ip = frame.data() + ip_at;
    const std::size_t ip_header = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if ((ip[0] >> 4) != F::IPV4_VERSION || ip_header < F::IPV4_HEADER_SIZE || ip[F::IPV4_OFF_PROTOCOL] != F::IPPROTO_UDP_NUMBER)
        return false;
    // A fragment holds part of a datagram only: neither the first nor any later one is whole.
    const uint16_t fragment = linkscope::load_be16(ip + F::IPV4_OFF_FRAGMENT);
    if ((fragment & F::IPV4_MORE_FRAGMENTS) || (fragment & F::IPV4_FRAGMENT_OFFSET_MASK)) return false;
    const std::size_t total = linkscope::load_be16(ip + F::IPV4_OFF_TOTAL_LENGTH);
    if (total < ip_header + F::UDP_HEADER_SIZE || ip_at + total > frame.size()) return false;
    const uint8_t* udp = ip + ip_header;
    const std::size_t udp_length = linkscope::load_be16(udp + F::UDP_OFF_LENGTH);
    if (udp_length < F::UDP_HEADER_SIZE || udp_length > total - ip_header) return false;
    out.source_address = linkscope::load_be32(ip + F::IPV4_OFF_SOURCE);
    out.source_port = linkscope::load_be16(udp + F::UDP_OFF_SOURCE_PORT);
    out.payload.assign(udp + F::UDP_HEADER_SIZE, udp + udp_length);
    return true;
}
