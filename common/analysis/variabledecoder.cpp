#include "common/analysis/variabledecoder.h"

#include "common/driver/byteorder.h"
#include "common/analysis/busreport.h"
#include "common/analysis/stationtable.h"

namespace analysis {

namespace {

constexpr std::size_t LIST_MIN_LENGTH = 3;
constexpr std::size_t ITEM_HEAD = 2;  // tag and length byte
constexpr uint8_t ITEM_LENGTH_SKIP_BIT = 0x80;

constexpr uint8_t TAG_TEXT_80 = 0x80;
constexpr uint8_t TAG_TEXT_81 = 0x81;
constexpr uint8_t TAG_BYTE_82 = 0x82;
constexpr uint8_t TAG_TEXT_83 = 0x83;
constexpr uint8_t TAG_BYTE_84 = 0x84;
constexpr uint8_t TAG_TEXT_8A = 0x8A;

constexpr uint8_t TAG_FIRST_VALUE = 'P';
constexpr uint8_t TAG_LAST_VALUE = 'T';
constexpr std::size_t VALUE_ITEM_SIZE = 3;

constexpr uint8_t TAG_LIST_A = 0x80;
constexpr uint8_t TAG_LIST_B = 0x81;
constexpr std::size_t PRESENCE_BITFIELD_SIZE = 32;
constexpr std::size_t PRESENCE_ANSWER_LENGTH = 5;
constexpr std::size_t PRESENCE_NIBBLE_BYTE = 4;

constexpr std::size_t BUS_STATE_LENGTH = 4;
constexpr uint8_t BUS_STATE_HEAD_0 = 0x80;
constexpr uint8_t BUS_STATE_HEAD_1 = 0x02;

// Field of an identification tag, or 0 for a tag that ends the list.
std::size_t identification_field(uint8_t tag, bool* is_text) {
    *is_text = true;
    switch (tag) {
        case TAG_TEXT_80: return station::TEXT_80;
        case TAG_TEXT_81: return station::TEXT_81;
        case TAG_TEXT_83: return station::TEXT_83;
        case TAG_TEXT_8A: return station::TEXT_8A;
        case TAG_BYTE_82: *is_text = false; return station::BYTE_82;
        case TAG_BYTE_84: *is_text = false; return station::BYTE_84;
        default: return 0;
    }
}

bool all_zero(const uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (bytes[i]) return false;
    return true;
}

}  // namespace

void VariableDecoder::decode(uint8_t* report, uint16_t identifier, const uint8_t* data, std::size_t length,
                             uint64_t time) {
    const uint8_t address = station_of(identifier);
    if (in_range(identifier, variable::IDENTIFICATION))
        decode_identification(report, address, data, length);
    else if (in_range(identifier, variable::VALUES))
        decode_values(report, address, data, length);
    else if (in_range(identifier, variable::PRESENCE))
        decode_presence(report, address, data, length, time);
    else if (identifier == variable::PRESENT_LIST)
        decode_present_list(report, data, length, time);
    else if (identifier == variable::BUS_STATE)
        decode_bus_state(report, data, length);
}

void VariableDecoder::decode_identification(uint8_t* report, uint8_t address, const uint8_t* data,
                                            std::size_t length) {
    if (length < LIST_MIN_LENGTH) return;
    StationTable stations(report);
    std::size_t at = 0;
    while (at + ITEM_HEAD <= length) {
        bool is_text = false;
        const std::size_t field = identification_field(data[at], &is_text);
        if (field == 0) break;
        const std::size_t item_length = data[at + 1];
        const std::size_t next = at + ITEM_HEAD + item_length;
        if (next > length) break;  // a truncated item: the frame ends inside it
        const uint8_t* value = data + at + ITEM_HEAD;
        if ((item_length & ITEM_LENGTH_SKIP_BIT) == 0) {
            if (is_text)
                stations.set_text(address, field, value, item_length);
            else if (item_length > 0)
                stations.set_byte(address, field, value[0]);
        }
        at = next;
    }
}

void VariableDecoder::decode_values(uint8_t* report, uint8_t address, const uint8_t* data, std::size_t length) {
    if (length < LIST_MIN_LENGTH) return;
    StationTable stations(report);
    for (std::size_t at = 0; at + VALUE_ITEM_SIZE <= length; at += VALUE_ITEM_SIZE) {
        const uint8_t tag = data[at];
        if (tag < TAG_FIRST_VALUE || tag > TAG_LAST_VALUE) break;
        stations.set_value(address, tag - TAG_FIRST_VALUE, linkscope::load_be16(data + at + 1));
    }
}

void VariableDecoder::decode_presence(uint8_t* report, uint8_t address, const uint8_t* data, std::size_t length,
                                      uint64_t time) {
    StationTable stations(report);
    stations.mark_present(address, time);
    if (length == PRESENCE_ANSWER_LENGTH) stations.set_presence_nibbles(address, data[PRESENCE_NIBBLE_BYTE]);
}

void VariableDecoder::decode_present_list(uint8_t* report, const uint8_t* data, std::size_t length, uint64_t time) {
    if (length < LIST_MIN_LENGTH) return;
    StationTable stations(report);
    std::size_t at = 0;
    while (at + ITEM_HEAD <= length) {
        const uint8_t tag = data[at];
        if (tag != TAG_LIST_A && tag != TAG_LIST_B) break;
        const std::size_t item_length = data[at + 1];
        const std::size_t next = at + ITEM_HEAD + item_length;
        if (next > length) break;
        const uint8_t* bits = data + at + ITEM_HEAD;
        if (item_length == PRESENCE_BITFIELD_SIZE && !all_zero(bits, item_length)) {
            for (std::size_t k = 0; k < PRESENCE_BITFIELD_SIZE; ++k) {
                for (unsigned j = 0; j < 8; ++j) {
                    const auto address = static_cast<uint8_t>(8 * k + j);
                    if (bits[k] & (1u << j))
                        stations.mark_present(address, time);
                    else
                        stations.mark_absent(address, time);
                }
            }
        }
        at = next;
    }
}

void VariableDecoder::decode_bus_state(uint8_t* report, const uint8_t* data, std::size_t length) {
    if (length != BUS_STATE_LENGTH || data[0] != BUS_STATE_HEAD_0 || data[1] != BUS_STATE_HEAD_1) return;
    report[report::NM_BYTE2] = data[2];
    report[report::NM_BYTE3] = data[3];
}

}  // namespace analysis
