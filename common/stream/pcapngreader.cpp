#include "common/stream/pcapngreader.h"

#include <cmath>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/stream/pcapngformat.h"

namespace {

using N = PcapngFormat;

constexpr uint32_t BYTE_ORDER_MAGIC_SWAPPED = 0x4D3C2B1A;
constexpr int64_t US_PER_SECOND = 1000000;
constexpr uint8_t MICROSECOND_EXPONENT = 6;
constexpr uint8_t MAX_DECIMAL_EXPONENT = 19;  // 10^19 still fits in 64 bits
constexpr uint8_t MAX_BINARY_EXPONENT = 63;

uint64_t power_of_ten(uint8_t exponent) {
    uint64_t value = 1;
    while (exponent--) value *= 10;
    return value;
}

}  // namespace

bool PcapngReader::is_pcapng(const uint8_t* first, std::size_t size) {
    return size >= 4 && linkscope::load_le32(first) == N::BLOCK_SECTION_HEADER;
}

uint32_t PcapngReader::word(const uint8_t* bytes) const {
    return swapped_ ? linkscope::load_be32(bytes) : linkscope::load_le32(bytes);
}

uint16_t PcapngReader::half(const uint8_t* bytes) const {
    return swapped_ ? linkscope::load_be16(bytes) : linkscope::load_le16(bytes);
}

uint64_t PcapngReader::dword(const uint8_t* bytes) const {
    return swapped_ ? linkscope::load_be64(bytes) : linkscope::load_le64(bytes);
}

bool PcapngReader::damage(const std::string& why) {
    problem_ = "block at byte " + std::to_string(block_offset_) + ": " + why;
    return false;
}

bool PcapngReader::start(std::istream* in, std::string* error) {
    in_ = in;
    rewind();
    uint32_t type = 0;
    bool at_end = false;
    if (!read_block(type, at_end) || at_end || type != N::BLOCK_SECTION_HEADER || !section_header()) {
        *error = at_end ? std::string("the file is empty") : problem_.empty() ? "it does not start with a section header" : problem_;
        rewind();
        return false;
    }
    rewind();
    return true;
}

void PcapngReader::rewind() {
    in_->clear();
    in_->seekg(0);
    swapped_ = false;
    interfaces_.clear();
    problem_.clear();
    block_offset_ = 0;
}

bool PcapngReader::skip_block(uint32_t length) {
    in_->seekg(static_cast<std::streamoff>(length - N::BLOCK_MIN_SIZE), std::ios::cur);
    uint8_t trailer[N::BLOCK_TRAILER_SIZE];
    if (!in_->read(reinterpret_cast<char*>(trailer), sizeof trailer)) return damage("the file ends inside the block");
    if (word(trailer) != length) return damage("its two lengths differ");
    return true;
}

bool PcapngReader::read_block(uint32_t& type, bool& at_end) {
    at_end = false;
    in_->clear();
    const std::streamoff here = in_->tellg();
    block_offset_ = here < 0 ? 0 : static_cast<uint64_t>(here);
    uint8_t header[N::BLOCK_HEADER_SIZE + 4];
    in_->read(reinterpret_cast<char*>(header), N::BLOCK_HEADER_SIZE);
    if (in_->gcount() == 0) {
        at_end = true;
        return true;
    }
    if (in_->gcount() != static_cast<std::streamsize>(N::BLOCK_HEADER_SIZE)) return damage("the file ends inside a block header");
    if (linkscope::load_le32(header) == N::BLOCK_SECTION_HEADER) {
        // A new section may change the byte order, which only its magic tells.
        if (!in_->read(reinterpret_cast<char*>(header + N::BLOCK_HEADER_SIZE), 4))
            return damage("the file ends inside a section header");
        const uint32_t magic = linkscope::load_le32(header + N::SECTION_OFF_BYTE_ORDER);
        if (magic != N::BYTE_ORDER_MAGIC && magic != BYTE_ORDER_MAGIC_SWAPPED)
            return damage("a section header without the byte-order magic");
        swapped_ = magic == BYTE_ORDER_MAGIC_SWAPPED;
    }
    type = word(header);
    const uint32_t length = word(header + 4);
    if (length < N::BLOCK_MIN_SIZE || length % N::BLOCK_ALIGNMENT != 0)
        return damage("impossible block length " + std::to_string(length));
    const bool parsed = type == N::BLOCK_SECTION_HEADER || type == N::BLOCK_INTERFACE_DESCRIPTION ||
                        type == N::BLOCK_ENHANCED_PACKET || type == N::BLOCK_SIMPLE_PACKET;
    if (!parsed) return skip_block(length);
    if (length > MAX_BLOCK_SIZE)
        return damage("a block of " + std::to_string(length) + " bytes, more than any packet needs");
    const std::size_t read_already = type == N::BLOCK_SECTION_HEADER ? N::BLOCK_HEADER_SIZE + 4 : N::BLOCK_HEADER_SIZE;
    block_.assign(header, header + read_already);
    block_.resize(length);
    in_->read(reinterpret_cast<char*>(block_.data() + read_already), static_cast<std::streamsize>(length - read_already));
    if (in_->gcount() != static_cast<std::streamsize>(length - read_already)) return damage("the file ends inside the block");
    if (word(block_.data() + length - N::BLOCK_TRAILER_SIZE) != length) return damage("its two lengths differ");
    return true;
}

bool PcapngReader::section_header() {
    if (block_.size() < N::BLOCK_MIN_SIZE + N::SECTION_BODY_SIZE) return damage("a section header too short");
    const uint16_t major = half(block_.data() + N::BLOCK_HEADER_SIZE + 4);
    if (major != N::VERSION_MAJOR) return damage("pcapng version " + std::to_string(major) + ", not 1");
    interfaces_.clear();
    return true;
}

bool PcapngReader::interface_description() {
    const std::size_t body = N::BLOCK_HEADER_SIZE;
    const std::size_t end = block_.size() - N::BLOCK_TRAILER_SIZE;
    if (end < body + N::INTERFACE_BODY_SIZE) return damage("an interface description too short");
    if (interfaces_.size() >= MAX_INTERFACES) return damage("more than " + std::to_string(MAX_INTERFACES) + " interfaces");
    Interface interface;
    interface.link_type = half(block_.data() + body + N::INTERFACE_OFF_LINKTYPE);
    for (std::size_t at = body + N::INTERFACE_BODY_SIZE; at + N::OPTION_HEADER_SIZE <= end;) {
        const uint16_t code = half(block_.data() + at);
        const uint16_t size = half(block_.data() + at + 2);
        const std::size_t value = at + N::OPTION_HEADER_SIZE;
        if (code == N::OPT_END) break;
        if (value + size > end) return damage("an interface option runs past its block");
        if (code == N::OPT_IF_TSRESOL && size >= 1) {
            const uint8_t resolution = block_[value];
            interface.binary = (resolution & N::TSRESOL_BINARY) != 0;
            interface.exponent = static_cast<uint8_t>(resolution & ~N::TSRESOL_BINARY);
            if (interface.exponent > (interface.binary ? MAX_BINARY_EXPONENT : MAX_DECIMAL_EXPONENT))
                return damage("a time stamp resolution this reader cannot convert");
        } else if (code == N::OPT_IF_TSOFFSET && size >= 8) {
            interface.offset_s = static_cast<int64_t>(dword(block_.data() + value));
        }
        at = value + N::padded(size);
    }
    interfaces_.push_back(interface);
    return true;
}

int64_t PcapngReader::time_us(const Interface& interface, uint64_t stamp) const {
    // Unsigned arithmetic: a damaged stamp or offset gives a wrong time, never an overflow.
    uint64_t us;
    if (interface.binary) {
        const long double exact = std::ldexp(static_cast<long double>(stamp), -interface.exponent) * US_PER_SECOND;
        us = exact < 18446744073709551615.0L ? static_cast<uint64_t>(exact) : UINT64_MAX;
    } else if (interface.exponent <= MICROSECOND_EXPONENT) {
        us = stamp * power_of_ten(static_cast<uint8_t>(MICROSECOND_EXPONENT - interface.exponent));
    } else {
        us = stamp / power_of_ten(static_cast<uint8_t>(interface.exponent - MICROSECOND_EXPONENT));
    }
    return static_cast<int64_t>(us + static_cast<uint64_t>(interface.offset_s) * US_PER_SECOND);
}

bool PcapngReader::packet(uint32_t type, Frame& out) {
    const std::size_t body = N::BLOCK_HEADER_SIZE;
    const std::size_t end = block_.size() - N::BLOCK_TRAILER_SIZE;
    std::size_t data = 0;
    uint32_t captured = 0;
    uint32_t original = 0;
    if (type == N::BLOCK_SIMPLE_PACKET) {
        if (end < body + N::SIMPLE_PACKET_BODY_SIZE) return damage("a simple packet block too short");
        if (interfaces_.empty()) return damage("a packet before any interface description");
        original = word(block_.data() + body);
        data = body + N::SIMPLE_PACKET_BODY_SIZE;
        captured = static_cast<uint32_t>(end - data) < original ? static_cast<uint32_t>(end - data) : original;
        out.interface = 0;
        out.time_us = 0;
    } else {
        if (end < body + N::PACKET_BODY_SIZE) return damage("an enhanced packet block too short");
        out.interface = word(block_.data() + body + N::PACKET_OFF_INTERFACE);
        if (out.interface >= interfaces_.size())
            return damage("a packet of interface " + std::to_string(out.interface) + ", which no block described");
        captured = word(block_.data() + body + N::PACKET_OFF_CAPTURED);
        original = word(block_.data() + body + N::PACKET_OFF_ORIGINAL);
        data = body + N::PACKET_BODY_SIZE;
        if (captured > end - data) return damage("a packet longer than its block");
        const uint64_t stamp = (uint64_t{word(block_.data() + body + N::PACKET_OFF_TIME_HIGH)} << 32) |
                               word(block_.data() + body + N::PACKET_OFF_TIME_LOW);
        out.time_us = time_us(interfaces_[out.interface], stamp);
    }
    out.link_type = interfaces_[out.interface].link_type;
    out.whole = captured >= original;
    out.bytes.assign(block_.begin() + static_cast<std::ptrdiff_t>(data),
                     block_.begin() + static_cast<std::ptrdiff_t>(data + captured));
    return true;
}

PcapngReader::Result PcapngReader::next(Frame& out) {
    if (!problem_.empty()) return Result::damaged;
    for (;;) {
        uint32_t type = 0;
        bool at_end = false;
        if (!read_block(type, at_end)) return Result::damaged;
        if (at_end) return Result::end;
        bool sound = true;
        switch (type) {
            case N::BLOCK_SECTION_HEADER: sound = section_header(); break;
            case N::BLOCK_INTERFACE_DESCRIPTION: sound = interface_description(); break;
            case N::BLOCK_ENHANCED_PACKET:
            case N::BLOCK_SIMPLE_PACKET:
                if (!packet(type, out)) return Result::damaged;
                return Result::packet;
            default: break;  // stepped over by read_block
        }
        if (!sound) return Result::damaged;
    }
}
