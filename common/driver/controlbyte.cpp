#include "common/driver/controlbyte.h"

#include <array>

namespace linkscope {

namespace {

constexpr uint16_t ID_LEN = 5;
constexpr uint16_t RP_MIN = 5, RP_MAX = 131;
constexpr uint16_t MSG_MIN = 9, MSG_MAX = 265;
constexpr uint16_t ACK_LEN = 3;

constexpr std::array<ControlRule, ControlByte::KNOWN_COUNT> RULES = {{
    {0x03, ID_LEN, ID_LEN, false},   {0x05, ID_LEN, ID_LEN, false},  {0x09, ID_LEN, ID_LEN, false},
    {0x29, ID_LEN, ID_LEN, false},   {0x02, RP_MIN, RP_MAX, true},   {0x06, RP_MIN, RP_MAX, true},
    {0x0A, RP_MIN, RP_MAX, true},    {0x0E, RP_MIN, RP_MAX, true},   {0x2A, RP_MIN, RP_MAX, true},
    {0x2E, RP_MIN, RP_MAX, true},    {0x08, RP_MIN, RP_MAX, false},  {0x28, RP_MIN, RP_MAX, false},
    {0x04, MSG_MIN, MSG_MAX, false}, {0x14, MSG_MIN, MSG_MAX, false}, {0x94, MSG_MIN, MSG_MAX, false},
    {0x10, ACK_LEN, ACK_LEN, false}, {0x30, ACK_LEN, ACK_LEN, false}, {0x40, ACK_LEN, ACK_LEN, false},
    {0x90, ACK_LEN, ACK_LEN, false}, {0xB0, ACK_LEN, ACK_LEN, false},
}};

constexpr std::array<uint8_t, ControlByte::KNOWN_COUNT> REPORT_ORDER = {
    0x03, 0x05, 0x29, 0x09, 0x02, 0x06, 0x2A, 0x0A, 0x2E, 0x0E,
    0x28, 0x08, 0x04, 0x14, 0x94, 0x30, 0xB0, 0x10, 0x90, 0x40,
};

struct Lookup {
    const ControlRule* rule[256] = {};
    int8_t slot[256];
    constexpr Lookup() : slot() {
        for (int i = 0; i < 256; ++i) slot[i] = -1;
        for (const ControlRule& r : RULES) rule[r.control] = &r;
        for (std::size_t i = 0; i < REPORT_ORDER.size(); ++i) slot[REPORT_ORDER[i]] = static_cast<int8_t>(i);
    }
};

constexpr Lookup LOOKUP{};

}  // namespace

const ControlRule* ControlByte::rule(uint8_t control) { return LOOKUP.rule[control]; }

const uint8_t* ControlByte::report_order() { return REPORT_ORDER.data(); }

int ControlByte::report_slot(uint8_t control) { return LOOKUP.slot[control]; }

const char* ControlByte::name(uint8_t control) {
    switch (control) {
        case 0x03: return "ID_DAT";
        case 0x05: return "ID_MSG";
        case 0x09: return "ID_RQ1";
        case 0x29: return "ID_RQ2";
        case 0x02: return "RP_DAT";
        case 0x06: return "RP_DAT_MSG";
        case 0x0A: return "RP_DAT_RQ1";
        case 0x0E: return "RP_DAT_RQ1_MSG";
        case 0x2A: return "RP_DAT_RQ2";
        case 0x2E: return "RP_DAT_RQ2_MSG";
        case 0x08: return "RP_RQ1";
        case 0x28: return "RP_RQ2";
        case 0x04: return "RP_MSG_NOACK";
        case 0x14: return "RP_MSG_ACK_E";
        case 0x94: return "RP_MSG_ACK_O";
        case 0x10: return "RP_ACK_P_E";
        case 0x30: return "RP_ACK_N_E";
        case 0x40: return "RP_FIN";
        case 0x90: return "RP_ACK_P_O";
        case 0xB0: return "RP_ACK_N_O";
        default: return "unknown";
    }
}

}  // namespace linkscope
