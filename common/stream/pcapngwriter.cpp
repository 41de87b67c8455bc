#include "common/stream/pcapngwriter.h"

#include <cstdio>

#include "common/driver/byteorder.h"

namespace {

using N = PcapngFormat;

// Large enough for the largest frame PcapWriter builds.
constexpr uint32_t SNAPLEN = 0xFFFF + PcapFormat::ETHERNET_HEADER_SIZE;
// Longer comments are cut: an option's length is 16 bits.
constexpr std::size_t MAX_OPTION_SIZE = 0xFFF0;

void append_le32(std::vector<uint8_t>& out, uint32_t value) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    linkscope::store_le32(&out[at], value);
}

void append_le16(std::vector<uint8_t>& out, uint16_t value) {
    const std::size_t at = out.size();
    out.resize(at + 2);
    linkscope::store_le16(&out[at], value);
}

void append_padded(std::vector<uint8_t>& out, const uint8_t* bytes, std::size_t size) {
    out.insert(out.end(), bytes, bytes + size);
    out.resize(out.size() + N::padded(size) - size, 0);
}

void append_option(std::vector<uint8_t>& body, uint16_t code, const std::string& text) {
    if (text.empty()) return;
    const std::size_t size = text.size() < MAX_OPTION_SIZE ? text.size() : MAX_OPTION_SIZE;
    append_le16(body, code);
    append_le16(body, static_cast<uint16_t>(size));
    append_padded(body, reinterpret_cast<const uint8_t*>(text.data()), size);
}

void end_options(std::vector<uint8_t>& body) {
    append_le16(body, N::OPT_END);
    append_le16(body, 0);
}

// Type, total length, body, total length.
std::vector<uint8_t> block(uint32_t type, const std::vector<uint8_t>& body) {
    const uint32_t total = static_cast<uint32_t>(N::BLOCK_MIN_SIZE + body.size());
    std::vector<uint8_t> out;
    out.reserve(total);
    append_le32(out, type);
    append_le32(out, total);
    out.insert(out.end(), body.begin(), body.end());
    append_le32(out, total);
    return out;
}

}  // namespace

std::string PcapngWriter::address_text(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string PcapngWriter::serial_text(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(serial));
    return text;
}

std::string PcapngWriter::interface_name(const Interface& interface) {
    return "busgate " + address_text(interface.source.address) + ":" + std::to_string(interface.source.port) + " sn " +
           (interface.serial ? serial_text(*interface.serial) : std::string("unknown"));
}

std::string PcapngWriter::interface_description_text(const Interface& interface) {
    return "busgate gateway at " + address_text(interface.source.address) + " port " +
           std::to_string(interface.source.port) + ", card sn " +
           (interface.serial ? serial_text(*interface.serial) : std::string("unknown (no lifesign named it)")) +
           ", received on " + address_text(interface.destination.address) + ":" +
           std::to_string(interface.destination.port) + "; packet time: the card's time stamp of the first event";
}

std::vector<uint8_t> PcapngWriter::section_header(const std::string& application) {
    std::vector<uint8_t> body;
    append_le32(body, N::BYTE_ORDER_MAGIC);
    append_le16(body, N::VERSION_MAJOR);
    append_le16(body, N::VERSION_MINOR);
    append_le32(body, 0xFFFFFFFF);  // section length not given
    append_le32(body, 0xFFFFFFFF);
    append_option(body, N::OPT_SHB_USERAPPL, application);
    end_options(body);
    return block(N::BLOCK_SECTION_HEADER, body);
}

std::vector<uint8_t> PcapngWriter::interface_description(const Interface& interface) {
    std::vector<uint8_t> body;
    append_le16(body, static_cast<uint16_t>(PcapFormat::LINKTYPE_ETHERNET));
    append_le16(body, 0);
    append_le32(body, SNAPLEN);
    append_option(body, N::OPT_IF_NAME, interface_name(interface));
    append_option(body, N::OPT_IF_DESCRIPTION, interface_description_text(interface));
    end_options(body);
    return block(N::BLOCK_INTERFACE_DESCRIPTION, body);
}

std::vector<uint8_t> PcapngWriter::enhanced_packet(uint32_t interface_id, int64_t time_us,
                                                   const std::vector<uint8_t>& frame, const std::string& comment) {
    const uint64_t stamp = time_us > 0 ? static_cast<uint64_t>(time_us) : 0;
    std::vector<uint8_t> body;
    body.reserve(N::PACKET_BODY_SIZE + N::padded(frame.size()) + N::padded(comment.size()) + 2 * N::OPTION_HEADER_SIZE);
    append_le32(body, interface_id);
    append_le32(body, static_cast<uint32_t>(stamp >> 32));
    append_le32(body, static_cast<uint32_t>(stamp));
    append_le32(body, static_cast<uint32_t>(frame.size()));
    append_le32(body, static_cast<uint32_t>(frame.size()));
    append_padded(body, frame.data(), frame.size());
    if (!comment.empty()) {
        append_option(body, N::OPT_COMMENT, comment);
        end_options(body);
    }
    return block(N::BLOCK_ENHANCED_PACKET, body);
}
