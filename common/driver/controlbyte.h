// The 20 known FIP control bytes and the frame lengths and PDU types allowed for each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkscope {

struct ControlRule {
    uint8_t control;
    uint16_t min_length;  // frame length n, control byte through FCS
    uint16_t max_length;
    bool pdu_checked;     // frame byte 1 with bit 4 cleared must be 0x40
};

class ControlByte {
public:
    static constexpr std::size_t KNOWN_COUNT = 20;

    // The rule of a known control byte, or null for an unknown one.
    static const ControlRule* rule(uint8_t control);
    static bool is_known(uint8_t control) { return rule(control) != nullptr; }
    // Control bytes in the order libbusrec counts them.
    static const uint8_t* report_order();
    // Position of `control` in report_order(), or -1 when unknown.
    static int report_slot(uint8_t control);
    // A short name for tools and logs ("ID_DAT", "RP_DAT", ...), "unknown" otherwise.
    static const char* name(uint8_t control);

    // Frame classes of the library's decoding.
    static bool is_identifier(uint8_t control) { return (control & 0x01) != 0; }
    static bool is_response(uint8_t control) { return (control & 0x02) != 0; }
    static bool is_class2(uint8_t control) { return (control & 0x08) != 0; }
    static bool is_class3(uint8_t control) { return (control & 0x04) != 0; }
};

// Control bytes named where the code needs them.
constexpr uint8_t CTRL_ID_DAT = 0x03;
constexpr uint8_t CTRL_ID_MSG = 0x05;
constexpr uint8_t CTRL_ID_RQ1 = 0x09;
constexpr uint8_t CTRL_ID_RQ2 = 0x29;
constexpr uint8_t CTRL_RP_DAT = 0x02;

}  // namespace linkscope
