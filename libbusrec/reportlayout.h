// The session report is the analysis' bus report: the asserts tie the public record and its
// codes to the offsets and codes that the analysis writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/analysis/busreport.h"
#include "libbusrec/include/busrec.h"

namespace busrec {

namespace report = analysis::report;
namespace station = analysis::station;
namespace cycle = analysis::cycle;
using analysis::add_le32;
using analysis::add_le64;

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
static_assert(cycle::COUNT == BUSREC_CYCLE_COUNT && cycle::IDENTIFIER_SLOTS == BUSREC_CYCLE_IDENTIFIER_SLOTS,
              "cycle count");
static_assert(report::CONTROL_COUNTER_COUNT == BUSREC_CONTROL_COUNTER_COUNT &&
                  report::STATUS_COUNTER_COUNT == BUSREC_STATUS_COUNTER_COUNT,
              "counter counts");

static_assert(analysis::state::START_FAILED == BUSREC_STATE_START_FAILED &&
                  analysis::state::STOPPED == BUSREC_STATE_STOPPED && analysis::state::RUNNING == BUSREC_STATE_RUNNING,
              "report states");
static_assert(analysis::error_kind::OK == BUSREC_EVT_OK && analysis::error_kind::STATUS_BIT0 == BUSREC_EVT_STATUS_BIT0 &&
                  analysis::error_kind::STATUS_BIT0 + 3 == BUSREC_EVT_STATUS_BIT3 &&
                  analysis::error_kind::UNKNOWN_CONTROL == BUSREC_EVT_UNKNOWN_CONTROL &&
                  analysis::error_kind::FCS == BUSREC_EVT_FCS && analysis::error_kind::PDU_TYPE == BUSREC_EVT_PDU_TYPE &&
                  analysis::error_kind::LENGTH == BUSREC_EVT_LENGTH,
              "error kinds");
static_assert(analysis::event_class::NONE == BUSREC_CLASS_NONE &&
                  analysis::event_class::RESPONSE == BUSREC_CLASS_RESPONSE &&
                  analysis::event_class::CLASS_2 == BUSREC_CLASS_2 && analysis::event_class::CLASS_3 == BUSREC_CLASS_3,
              "frame classes");
static_assert(analysis::cycle_type::PERIODIC == BUSREC_CYCLE_PERIODIC &&
                  analysis::cycle_type::MESSAGE == BUSREC_CYCLE_MESSAGE &&
                  analysis::cycle_type::VARIABLE == BUSREC_CYCLE_VARIABLE &&
                  analysis::cycle_type::VARIABLE_MESSAGE == BUSREC_CYCLE_VARIABLE_MESSAGE,
              "cycle types");

}  // namespace busrec
