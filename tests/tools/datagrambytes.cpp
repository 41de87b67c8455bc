#include "tests/tools/datagrambytes.h"

#include "tests/support/blockbuilder.h"

namespace busdumptest {

void put_be(std::vector<uint8_t>& bytes, std::size_t offset, std::size_t size, uint64_t value) {
    for (std::size_t i = 0; i < size; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
}

std::vector<uint8_t> make_datagram(uint64_t sequence, uint32_t count, const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> bytes(16, 0);
    bytes[0] = 'L';
    bytes[1] = 'S';
    bytes[2] = 0x01;
    put_be(bytes, 4, 8, sequence);
    put_be(bytes, 12, 4, count);
    for (const auto& record : records) bytes.insert(bytes.end(), record.begin(), record.end());
    return bytes;
}

std::vector<uint8_t> make_datagram(uint64_t sequence, const std::vector<std::vector<uint8_t>>& records) {
    return make_datagram(sequence, static_cast<uint32_t>(records.size()), records);
}

std::vector<uint8_t> make_id_event(uint64_t index, uint16_t identifier) {
    const auto frame = testsupport::make_frame(0x03, {static_cast<uint8_t>(identifier >> 8),
                                                      static_cast<uint8_t>(identifier)});
    return testsupport::make_record(frame, index, 1000 + index);
}

std::vector<uint8_t> make_lifesign() {
    std::vector<uint8_t> bytes(323, 0);
    bytes[0] = 0xC1;
    put_be(bytes, 1, 2, 323);
    return bytes;
}

}  // namespace busdumptest
