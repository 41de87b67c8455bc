// Hand-built datagrams and lifesign records for the busdump tests, written byte by byte from
// the documented layouts rather than through the gateway's encoders.
#pragma once

#include <cstdint>
#include <vector>

namespace busdumptest {

// 16-byte header ("LS", mark 1, reserved 0, sequence, count) followed by the records.
std::vector<uint8_t> make_datagram(uint64_t sequence, const std::vector<std::vector<uint8_t>>& records);
// The same with an explicit record count, for counts that disagree on purpose.
std::vector<uint8_t> make_datagram(uint64_t sequence, uint32_t count, const std::vector<std::vector<uint8_t>>& records);

// An event record with an ID_DAT frame for `identifier` and a correct fcs_mode 2 frame check.
std::vector<uint8_t> make_id_event(uint64_t index, uint16_t identifier = 0x9080);

// A 323-byte lifesign record of zeros with its type and length.
std::vector<uint8_t> make_lifesign();

void put_be(std::vector<uint8_t>& bytes, std::size_t offset, std::size_t size, uint64_t value);

}  // namespace busdumptest
