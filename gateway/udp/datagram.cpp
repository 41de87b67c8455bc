#include "gateway/udp/datagram.h"

Datagram::Datagram() {
    bytes_.reserve(MAX_UDP_PAYLOAD);
    bytes_.resize(DatagramHeader::HEADER_SIZE);
}

void Datagram::append(const std::vector<char>& record) {
    // As bytes of the same type, so that the copy is one memmove and not a loop of conversions.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record.data());
    bytes_.insert(bytes_.end(), bytes, bytes + record.size());
    ++record_count_;
}

const std::vector<uint8_t>& Datagram::close(uint64_t sequence) {
    DatagramHeader{sequence, record_count_}.encode(bytes_.data());
    return bytes_;
}

void Datagram::clear() {
    bytes_.resize(DatagramHeader::HEADER_SIZE);
    record_count_ = 0;
}
