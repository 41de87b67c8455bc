// The bus report: what the analysis of one bus keeps, as little-endian bytes at fixed
// offsets. libbusrec hands this record to host programs as its session report (its public
// header declares the same layout and asserts it against these offsets); busdump keeps one
// per sender. Also the codes that the analysis gives each event.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/byteorder.h"

namespace analysis {

namespace report {
constexpr std::size_t SIZE = 343038;
constexpr std::size_t STATE = 0;
constexpr std::size_t FCS_MODE = 2;
constexpr std::size_t PERIOD_CODE = 3;
constexpr std::size_t START_TIME = 4;
constexpr std::size_t STOP_TIME = 12;
constexpr std::size_t ELAPSED = 20;
constexpr std::size_t RESPONSE_TIME = 28;
constexpr std::size_t TURNAROUND_TIME = 32;
constexpr std::size_t CORRECT = 36;
constexpr std::size_t CONTROL_COUNTS = 44;
constexpr std::size_t SYNC = 204;
constexpr std::size_t ERRORS = 212;
constexpr std::size_t STATUS_BITS = 220;
constexpr std::size_t UNKNOWN_CONTROL = 252;
constexpr std::size_t FCS_FAILED = 260;
constexpr std::size_t WRONG_PDU = 268;
constexpr std::size_t WRONG_LENGTH = 276;
constexpr std::size_t LOST = 284;
constexpr std::size_t STATIONS = 292;
constexpr std::size_t NM_BYTE3 = 142628;
constexpr std::size_t NM_BYTE2 = 142629;
constexpr std::size_t CYCLE_COUNT = 142630;
constexpr std::size_t CYCLES = 142634;
constexpr std::size_t PERIOD = 343034;

constexpr std::size_t CONTROL_COUNTER_COUNT = 20;
constexpr std::size_t STATUS_COUNTER_COUNT = 4;

// The counters that clearing the statistics zeroes: bytes 36 to 291.
constexpr std::size_t COUNTERS_BEGIN = CORRECT;
constexpr std::size_t COUNTERS_END = STATIONS;
// What the cycle analysis clears before it publishes.
constexpr std::size_t RESULT_BEGIN = CYCLE_COUNT;
constexpr std::size_t RESULT_END = SIZE;
}  // namespace report

// Report states.
namespace state {
constexpr uint16_t START_FAILED = 0;
constexpr uint16_t STOPPED = 1;
constexpr uint16_t RUNNING = 2;
}  // namespace state

namespace station {
constexpr std::size_t SIZE = 556;
constexpr std::size_t COUNT = 256;
constexpr std::size_t PRESENT = 0;
constexpr std::size_t ANSWER_TIME = 4;
constexpr std::size_t MISSING_TIME = 12;
constexpr std::size_t ABSENT_CHANGES = 20;
constexpr std::size_t PRESENCE_HIGH = 24;
constexpr std::size_t PRESENCE_LOW = 28;
constexpr std::size_t TEXT_80 = 32;
constexpr std::size_t TEXT_81 = 160;
constexpr std::size_t BYTE_82 = 288;
constexpr std::size_t TEXT_83 = 289;
constexpr std::size_t BYTE_84 = 417;
constexpr std::size_t TEXT_8A = 418;
constexpr std::size_t VALUES = 546;
constexpr std::size_t TEXT_SIZE = 128;
constexpr std::size_t VALUE_COUNT = 5;
}  // namespace station

namespace cycle {
constexpr std::size_t SIZE = 4008;
constexpr std::size_t COUNT = 50;
constexpr std::size_t IDENTIFIER_SLOTS = 1000;
constexpr std::size_t TYPE = 0;
constexpr std::size_t COUNT_OR_TIME = 4;
constexpr std::size_t IDENTIFIERS = 8;
}  // namespace cycle

// Types of the published cycles.
namespace cycle_type {
constexpr uint32_t PERIODIC = 1;
constexpr uint32_t MESSAGE = 2;
constexpr uint32_t VARIABLE = 3;
constexpr uint32_t VARIABLE_MESSAGE = 4;
}  // namespace cycle_type

// What the analysis found wrong with an event.
namespace error_kind {
constexpr uint8_t OK = 0;
constexpr uint8_t STATUS_BIT0 = 1;  // to STATUS_BIT0 + 3: the lowest status bit set
constexpr uint8_t UNKNOWN_CONTROL = 5;
constexpr uint8_t FCS = 6;
constexpr uint8_t PDU_TYPE = 7;
constexpr uint8_t LENGTH = 8;
constexpr uint8_t COUNT = 9;
}  // namespace error_kind

// Frame classes of a correct frame that is no identifier frame.
namespace event_class {
constexpr uint32_t NONE = 0;
constexpr uint32_t RESPONSE = 1;
constexpr uint32_t CLASS_2 = 2;
constexpr uint32_t CLASS_3 = 3;
}  // namespace event_class

static_assert(report::STATIONS + station::COUNT * station::SIZE == report::NM_BYTE3, "station table");
static_assert(report::CYCLES + cycle::COUNT * cycle::SIZE == report::PERIOD, "sequence result");
static_assert(cycle::IDENTIFIERS + 4 * cycle::IDENTIFIER_SLOTS == cycle::SIZE, "cycle entry");
static_assert(report::CONTROL_COUNTS + 8 * report::CONTROL_COUNTER_COUNT == report::SYNC, "control counters");
static_assert(report::STATUS_BITS + 8 * report::STATUS_COUNTER_COUNT == report::UNKNOWN_CONTROL, "status counters");

// Counter updates on the little-endian report bytes.
inline void add_le64(uint8_t* at, uint64_t n) { linkscope::store_le64(at, linkscope::load_le64(at) + n); }
inline void add_le32(uint8_t* at, uint32_t n) { linkscope::store_le32(at, linkscope::load_le32(at) + n); }

}  // namespace analysis
