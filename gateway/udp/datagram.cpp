#include "gateway/udp/datagram.h"

#include "common/driver/byteorder.h"

void Datagram::encode_header(const Header& header, uint8_t* out) {
    out[OFF_MAGIC] = MAGIC_0;
    out[OFF_MAGIC + 1] = MAGIC_1;
    out[OFF_MARK] = MARK;
    out[OFF_RESERVED] = RESERVED;
    linkscope::store_be64(out + OFF_SEQUENCE, header.sequence);
    linkscope::store_be32(out + OFF_RECORD_COUNT, header.record_count);
}

bool Datagram::decode_header(const uint8_t* data, std::size_t size, Header& out) {
    if (data == nullptr || size < HEADER_SIZE) return false;
    if (data[OFF_MAGIC] != MAGIC_0 || data[OFF_MAGIC + 1] != MAGIC_1 || data[OFF_MARK] != MARK ||
        data[OFF_RESERVED] != RESERVED)
        return false;
    out.sequence = linkscope::load_be64(data + OFF_SEQUENCE);
    out.record_count = linkscope::load_be32(data + OFF_RECORD_COUNT);
    return true;
}

Datagram::Datagram() {
    bytes_.reserve(MAX_UDP_PAYLOAD);
    bytes_.resize(HEADER_SIZE);
}

void Datagram::append(const std::vector<char>& record) {
    // As bytes of the same type, so that the copy is one memmove and not a loop of conversions.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record.data());
    bytes_.insert(bytes_.end(), bytes, bytes + record.size());
    ++record_count_;
}

const std::vector<uint8_t>& Datagram::close(uint64_t sequence) {
    encode_header(Header{sequence, record_count_}, bytes_.data());
    return bytes_;
}

void Datagram::clear() {
    bytes_.resize(HEADER_SIZE);
    record_count_ = 0;
}
