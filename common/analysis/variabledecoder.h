// Decoding of the network-management variables that a response carries, into the report.
#pragma once

#include <cstddef>
#include <cstdint>

namespace analysis {

// Identifier ranges and tags of the decoded variables.
namespace variable {
constexpr uint16_t RANGE_MASK = 0xFF00;
constexpr uint16_t IDENTIFICATION = 0x1000;  // 0x10ss
constexpr uint16_t VALUES = 0x1100;          // 0x11ss
constexpr uint16_t PRESENCE = 0x1400;        // 0x14ss
constexpr uint16_t ARBITER = 0x9000;         // 0x90xx: the bus arbiter's own variables
constexpr uint16_t PRESENT_LIST = 0x9002;
constexpr uint16_t BUS_STATE = 0x9003;
constexpr uint16_t DEFAULT_SYNC_ID = 0x9080;
}  // namespace variable

class VariableDecoder {
public:
    // Decodes `length` bytes of response data (never more than the frame holds) by the
    // identifier that the response answers; `report` is the session report's bytes.
    static void decode(uint8_t* report, uint16_t identifier, const uint8_t* data, std::size_t length,
                       uint64_t time);

    static bool in_range(uint16_t identifier, uint16_t range) { return (identifier & variable::RANGE_MASK) == range; }
    static uint8_t station_of(uint16_t identifier) { return static_cast<uint8_t>(identifier & 0xFF); }

private:
    static void decode_identification(uint8_t* report, uint8_t address, const uint8_t* data, std::size_t length);
    static void decode_values(uint8_t* report, uint8_t address, const uint8_t* data, std::size_t length);
    static void decode_presence(uint8_t* report, uint8_t address, const uint8_t* data, std::size_t length,
                                uint64_t time);
    static void decode_present_list(uint8_t* report, const uint8_t* data, std::size_t length, uint64_t time);
    static void decode_bus_state(uint8_t* report, const uint8_t* data, std::size_t length);
};

}  // namespace analysis
