#include "common/analysis/frameanalyzer.h"


#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "common/analysis/busreport.h"
#include "common/analysis/sequencebuffer.h"
#include "common/analysis/stationtable.h"
#include "common/analysis/variabledecoder.h"

namespace analysis {

using linkscope::ControlByte;
using linkscope::EventRecord;
using linkscope::load_be16;
using linkscope::load_be24;
using linkscope::load_le64;

namespace {

constexpr uint32_t TIME_SCALE = 100;      // the card's time counts are handed on x 100
constexpr uint32_t TIME_REPORT_DIVISOR = 1000;
constexpr std::size_t IDENTIFIER_OFFSET = 1;
// A response: control byte, PDU type, data length, data, FCS.
constexpr std::size_t RESPONSE_PDU_OFFSET = 1;
constexpr std::size_t RESPONSE_LENGTH_OFFSET = 2;
constexpr std::size_t RESPONSE_DATA_OFFSET = 3;
constexpr std::size_t RESPONSE_OVERHEAD = RESPONSE_DATA_OFFSET + linkscope::FCS_SIZE;
// A class-2 frame: control byte, 2-byte items, FCS.
constexpr std::size_t CLASS2_DATA_OFFSET = 1;
constexpr std::size_t CLASS2_ITEM_SIZE = 2;
// A class-3 frame: control byte, two 24-bit addresses, data, FCS.
constexpr std::size_t CLASS3_FIRST_OFFSET = 1;
constexpr std::size_t CLASS3_SECOND_OFFSET = 4;
constexpr std::size_t CLASS3_DATA_OFFSET = 7;
constexpr std::size_t CLASS3_OVERHEAD = CLASS3_DATA_OFFSET + linkscope::FCS_SIZE;

const int ID_DAT_SLOT = ControlByte::report_slot(linkscope::CTRL_ID_DAT);

uint8_t* control_counter(uint8_t* report, int slot) { return report + report::CONTROL_COUNTS + 8 * slot; }

uint16_t frame_type_of(uint8_t control) {
    if (control == linkscope::CTRL_ID_DAT) return frame_type::PERIODIC;
    if (control == linkscope::CTRL_ID_MSG) return frame_type::MESSAGE;
    return frame_type::OTHER;
}

// The frame check; a mode other than 1 or 2 computes 0, so only FCS bytes of 0 pass it.
bool frame_check_passes(uint8_t fcs_mode, const uint8_t* frame, std::size_t length) {
    if (fcs_mode == linkscope::FCS_MODE_1021 || fcs_mode == linkscope::FCS_MODE_1DCF)
        return linkscope::FrameCheck::frame_is_correct(fcs_mode, frame, length);
    return length > linkscope::FCS_SIZE && load_be16(frame + length - linkscope::FCS_SIZE) == 0;
}

}  // namespace

FrameAnalyzer::FrameAnalyzer(uint16_t sync_id, SequenceBuffer* sequence, std::mutex* sequence_lock)
    : sync_id_(sync_id), sequence_(sequence), sequence_lock_(sequence_lock) {}

void FrameAnalyzer::analyze(const EventRecord& record, uint8_t* report, AnalyzedEvent& event, KnownCheck known) {
    event = AnalyzedEvent{};
    event.evt_index = record.index();
    event.evt_timestamp = record.timestamp();
    event.time_a = record.time_a() * TIME_SCALE;
    event.time_b = record.time_b() * TIME_SCALE;
    event.frame_length = static_cast<uint16_t>(record.frame_length());
    event.frame = record.frame();

    const uint64_t lost = continuity_.check(record.index());
    if (lost) {
        add_le64(report + report::LOST, lost);
        add_le64(report + report::ERRORS, lost);
    }

    event.error = classify(record, report, event, known);
    if (event.error == error_kind::OK)
        count_correct(record, report);
    else
        add_le64(report + report::ERRORS, 1);
}

uint8_t FrameAnalyzer::classify(const EventRecord& record, uint8_t* report, AnalyzedEvent& event, KnownCheck known) {
    const uint16_t status = record.status();
    if (status & linkscope::STATUS_RX_ERROR_MASK) return count_status_errors(status, report);

    const uint8_t* frame = record.frame();
    const std::size_t length = record.frame_length();
    if (length == 0) {  // not even a control byte
        add_le64(report + report::WRONG_LENGTH, 1);
        return error_kind::LENGTH;
    }
    const uint8_t control = frame[0];
    event.control = control;
    if (length >= linkscope::FCS_SIZE) event.fcs = load_be16(frame + length - linkscope::FCS_SIZE);

    const int slot = ControlByte::report_slot(control);
    if (slot < 0) {
        add_le64(report + report::UNKNOWN_CONTROL, 1);
        return error_kind::UNKNOWN_CONTROL;
    }
    add_le64(control_counter(report, slot), 1);
    if (control == linkscope::CTRL_ID_DAT && has_last_control_ && last_control_ == linkscope::CTRL_ID_DAT)
        linkscope::store_le32(report + report::TURNAROUND_TIME, record.time_b() * TIME_SCALE / TIME_REPORT_DIVISOR);

    const bool passes =
        known == KnownCheck::unknown ? frame_check_passes(record.fcs_mode(), frame, length) : known == KnownCheck::passed;
    if (!passes) {
        add_le64(report + report::FCS_FAILED, 1);
        return error_kind::FCS;
    }
    return analyze_correct_frame(record, report, event);
}

uint8_t FrameAnalyzer::count_status_errors(uint16_t status, uint8_t* report) {
    uint8_t kind = 0;
    for (unsigned bit = 0; bit < report::STATUS_COUNTER_COUNT; ++bit) {
        if ((status & (1u << bit)) == 0) continue;
        add_le64(report + report::STATUS_BITS + 8 * bit, 1);
        if (kind == 0) kind = static_cast<uint8_t>(error_kind::STATUS_BIT0 + bit);
    }
    return kind;
}

uint8_t FrameAnalyzer::analyze_correct_frame(const EventRecord& record, uint8_t* report, AnalyzedEvent& event) {
    const uint8_t control = event.control;
    const uint8_t* frame = record.frame();
    const std::size_t length = record.frame_length();
    uint8_t kind = error_kind::OK;
    if (ControlByte::is_identifier(control)) {
        analyze_identifier_frame(record, report, event);
    } else {
        event.identifier = last_identifier_;
        if (ControlByte::is_response(control))
            kind = analyze_response(record, report, event);
        else if (ControlByte::is_class2(control))
            fill_class2(frame, length, event);
        else if (ControlByte::is_class3(control))
            fill_class3(frame, length, event);
    }
    last_control_ = control;
    has_last_control_ = true;
    return kind;
}

void FrameAnalyzer::analyze_identifier_frame(const EventRecord& record, uint8_t* report, AnalyzedEvent& event) {
    const uint8_t control = event.control;
    const uint16_t identifier = load_be16(record.frame() + IDENTIFIER_OFFSET);
    event.identifier = identifier;

    // A presence question that no response followed: the station did not answer.
    if (has_last_control_ && last_control_ == linkscope::CTRL_ID_DAT &&
        VariableDecoder::in_range(last_identifier_, variable::PRESENCE))
        StationTable(report).mark_absent(VariableDecoder::station_of(last_identifier_), record.timestamp());

    if (identifier == sync_id_) {
        add_le64(report + report::SYNC, 1);
        // Only a 0x03 frame was counted in the 0x03 counter.
        if (control == linkscope::CTRL_ID_DAT) add_le64(control_counter(report, ID_DAT_SLOT), ~uint64_t{0});
    }
    record_sequence(control, identifier, record.timestamp());
    last_identifier_ = identifier;
}

uint8_t FrameAnalyzer::analyze_response(const EventRecord& record, uint8_t* report, AnalyzedEvent& event) {
    const uint8_t* frame = record.frame();
    const std::size_t length = record.frame_length();
    const uint8_t pdu_type = frame[RESPONSE_PDU_OFFSET];
    const std::size_t declared = frame[RESPONSE_LENGTH_OFFSET];
    const std::size_t available = length > RESPONSE_OVERHEAD ? length - RESPONSE_OVERHEAD : 0;
    const std::size_t data_length = declared < available ? declared : available;

    event.frame_class = event_class::RESPONSE;
    event.pdu_type = pdu_type;
    event.data_length = static_cast<uint16_t>(data_length);
    event.data = frame + RESPONSE_DATA_OFFSET;

    uint8_t kind = error_kind::OK;
    if ((pdu_type & linkscope::PDU_TYPE_MASK) != linkscope::PDU_TYPE_EXPECTED) {
        add_le64(report + report::WRONG_PDU, 1);
        kind = error_kind::PDU_TYPE;
    } else if (length != declared + RESPONSE_OVERHEAD) {
        add_le64(report + report::WRONG_LENGTH, 1);
        kind = error_kind::LENGTH;
    }
    linkscope::store_le32(report + report::RESPONSE_TIME, record.time_b() * TIME_SCALE / TIME_REPORT_DIVISOR);
    VariableDecoder::decode(report, last_identifier_, event.data, data_length, record.timestamp());
    return kind;
}

void FrameAnalyzer::fill_class2(const uint8_t* frame, std::size_t length, AnalyzedEvent& event) {
    event.frame_class = event_class::CLASS_2;
    event.data_length = static_cast<uint16_t>((length - 1 - linkscope::FCS_SIZE) / CLASS2_ITEM_SIZE);
    event.data = frame + CLASS2_DATA_OFFSET;
}

void FrameAnalyzer::fill_class3(const uint8_t* frame, std::size_t length, AnalyzedEvent& event) {
    event.frame_class = event_class::CLASS_3;
    if (length < CLASS3_OVERHEAD) return;  // too short to hold both addresses
    event.class3_b4_6 = load_be24(frame + CLASS3_SECOND_OFFSET);
    event.class3_b1_3 = load_be24(frame + CLASS3_FIRST_OFFSET);
    event.data_length = static_cast<uint16_t>(length - CLASS3_OVERHEAD);
    event.data = frame + CLASS3_DATA_OFFSET;
}

void FrameAnalyzer::record_sequence(uint8_t control, uint16_t identifier, uint64_t time) {
    if (!sequence_) return;
    std::lock_guard<std::mutex> lock(*sequence_lock_);
    if (control == linkscope::CTRL_ID_DAT && identifier == sync_id_)
        sequence_->mark_sync();
    else
        sequence_->append(frame_type_of(control), identifier, time, sync_id_);
}

void FrameAnalyzer::count_correct(const EventRecord& record, uint8_t* report) {
    add_le64(report + report::CORRECT, 1);
    report[report::FCS_MODE] = record.fcs_mode();
    report[report::PERIOD_CODE] = record.period_code();
    if (linkscope::load_le16(report + report::STATE) != state::RUNNING) return;
    const uint64_t start = load_le64(report + report::START_TIME);
    const uint64_t time = record.timestamp();
    linkscope::store_le64(report + report::ELAPSED, time > start ? time - start : 0);
}

}  // namespace analysis
