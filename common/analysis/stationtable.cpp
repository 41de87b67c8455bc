#include "common/analysis/stationtable.h"

#include <cstring>

#include "common/driver/byteorder.h"

namespace analysis {

using linkscope::load_le32;
using linkscope::load_le64;
using linkscope::store_le16;
using linkscope::store_le32;
using linkscope::store_le64;

namespace {
constexpr uint8_t NIBBLE_MASK = 0x0F;
constexpr unsigned NIBBLE_BITS = 4;
}  // namespace

void StationTable::mark_present(uint8_t address, uint64_t time) {
    uint8_t* s = record(address);
    store_le64(s + station::ANSWER_TIME, time);
    store_le32(s + station::PRESENT, 1);
}

void StationTable::mark_absent(uint8_t address, uint64_t time) {
    uint8_t* s = record(address);
    const bool was_present = load_le32(s + station::PRESENT) != 0;
    const bool never_missed = load_le64(s + station::MISSING_TIME) == 0;
    if (was_present || never_missed) add_le32(s + station::ABSENT_CHANGES, 1);
    store_le32(s + station::PRESENT, 0);
    store_le64(s + station::MISSING_TIME, time);
}

void StationTable::set_presence_nibbles(uint8_t address, uint8_t byte) {
    uint8_t* s = record(address);
    store_le32(s + station::PRESENCE_HIGH, byte >> NIBBLE_BITS);
    store_le32(s + station::PRESENCE_LOW, byte & NIBBLE_MASK);
}

void StationTable::set_text(uint8_t address, std::size_t field, const uint8_t* text, std::size_t length) {
    uint8_t* at = record(address) + field;
    const std::size_t copied = length < station::TEXT_SIZE ? length : station::TEXT_SIZE - 1;
    std::memcpy(at, text, copied);
    std::memset(at + copied, 0, station::TEXT_SIZE - copied);
}

void StationTable::set_byte(uint8_t address, std::size_t field, uint8_t value) { record(address)[field] = value; }

void StationTable::set_value(uint8_t address, std::size_t slot, uint16_t value) {
    store_le16(record(address) + station::VALUES + 2 * slot, value);
}

}  // namespace analysis
