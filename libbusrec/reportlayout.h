// Byte layout of the little-endian session report. The analysis writes the report through
// these offsets; the asserts tie them to the public record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/byteorder.h"
#include "libbusrec/include/busrec.h"

namespace busrec {

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

// The counters that clearing the statistics zeroes: bytes 36 to 291.
constexpr std::size_t COUNTERS_BEGIN = CORRECT;
constexpr std::size_t COUNTERS_END = STATIONS;
// What the cycle analysis clears before it publishes.
constexpr std::size_t RESULT_BEGIN = CYCLE_COUNT;
constexpr std::size_t RESULT_END = SIZE;
}  // namespace report

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
constexpr std::size_t TYPE = 0;
constexpr std::size_t COUNT_OR_TIME = 4;
constexpr std::size_t IDENTIFIERS = 8;
}  // namespace cycle

// Counter updates on the little-endian report bytes.
inline void add_le64(uint8_t* at, uint64_t n) { linkscope::store_le64(at, linkscope::load_le64(at) + n); }
inline void add_le32(uint8_t* at, uint32_t n) { linkscope::store_le32(at, linkscope::load_le32(at) + n); }

static_assert(sizeof(busrec_report) == report::SIZE, "report size");
static_assert(offsetof(busrec_report, state) == report::STATE, "report layout");
static_assert(offsetof(busrec_report, fcs_mode) == report::FCS_MODE, "report layout");
static_assert(offsetof(busrec_report, period_code) == report::PERIOD_CODE, "report layout");
static_assert(offsetof(busrec_report, start_time) == report::START_TIME, "report layout");
static_assert(offsetof(busrec_report, stop_time) == report::STOP_TIME, "report layout");
static_assert(offsetof(busrec_report, elapsed) == report::ELAPSED, "report layout");
static_assert(offsetof(busrec_report, response_time) == report::RESPONSE_TIME, "report layout");
static_assert(offsetof(busrec_report, turnaround_time) == report::TURNAROUND_TIME, "report layout");
static_assert(offsetof(busrec_report, correct_events) == report::CORRECT, "report layout");
static_assert(offsetof(busrec_report, control_counts) == report::CONTROL_COUNTS, "report layout");
static_assert(offsetof(busrec_report, sync_frames) == report::SYNC, "report layout");
static_assert(offsetof(busrec_report, error_events) == report::ERRORS, "report layout");
static_assert(offsetof(busrec_report, status_bits) == report::STATUS_BITS, "report layout");
static_assert(offsetof(busrec_report, unknown_control) == report::UNKNOWN_CONTROL, "report layout");
static_assert(offsetof(busrec_report, fcs_failed) == report::FCS_FAILED, "report layout");
static_assert(offsetof(busrec_report, wrong_pdu_type) == report::WRONG_PDU, "report layout");
static_assert(offsetof(busrec_report, wrong_length) == report::WRONG_LENGTH, "report layout");
static_assert(offsetof(busrec_report, lost_frames) == report::LOST, "report layout");
static_assert(offsetof(busrec_report, stations) == report::STATIONS, "report layout");
static_assert(offsetof(busrec_report, nm_byte3) == report::NM_BYTE3, "report layout");
static_assert(offsetof(busrec_report, nm_byte2) == report::NM_BYTE2, "report layout");
static_assert(offsetof(busrec_report, cycle_count) == report::CYCLE_COUNT, "report layout");
static_assert(offsetof(busrec_report, cycles) == report::CYCLES, "report layout");
static_assert(offsetof(busrec_report, period) == report::PERIOD, "report layout");
static_assert(report::STATIONS + station::COUNT * station::SIZE == report::NM_BYTE3, "station table");
static_assert(report::CYCLES + cycle::COUNT * cycle::SIZE == report::PERIOD, "sequence result");

static_assert(sizeof(busrec_station) == station::SIZE, "station size");
static_assert(offsetof(busrec_station, present) == station::PRESENT, "station layout");
static_assert(offsetof(busrec_station, answer_time) == station::ANSWER_TIME, "station layout");
static_assert(offsetof(busrec_station, missing_time) == station::MISSING_TIME, "station layout");
static_assert(offsetof(busrec_station, absent_changes) == station::ABSENT_CHANGES, "station layout");
static_assert(offsetof(busrec_station, presence_high) == station::PRESENCE_HIGH, "station layout");
static_assert(offsetof(busrec_station, presence_low) == station::PRESENCE_LOW, "station layout");
static_assert(offsetof(busrec_station, text_80) == station::TEXT_80, "station layout");
static_assert(offsetof(busrec_station, text_81) == station::TEXT_81, "station layout");
static_assert(offsetof(busrec_station, byte_82) == station::BYTE_82, "station layout");
static_assert(offsetof(busrec_station, text_83) == station::TEXT_83, "station layout");
static_assert(offsetof(busrec_station, byte_84) == station::BYTE_84, "station layout");
static_assert(offsetof(busrec_station, text_8a) == station::TEXT_8A, "station layout");
static_assert(offsetof(busrec_station, values) == station::VALUES, "station layout");
static_assert(station::COUNT == BUSREC_STATION_COUNT && station::TEXT_SIZE == BUSREC_STATION_TEXT_SIZE &&
                  station::VALUE_COUNT == BUSREC_STATION_VALUE_COUNT,
              "station sizes");

static_assert(sizeof(busrec_cycle) == cycle::SIZE, "cycle entry size");
static_assert(offsetof(busrec_cycle, type) == cycle::TYPE, "cycle entry layout");
static_assert(offsetof(busrec_cycle, count_or_time) == cycle::COUNT_OR_TIME, "cycle entry layout");
static_assert(offsetof(busrec_cycle, identifiers) == cycle::IDENTIFIERS, "cycle entry layout");
static_assert(cycle::COUNT == BUSREC_CYCLE_COUNT, "cycle count");

}  // namespace busrec
