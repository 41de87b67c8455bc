// Per-event analysis of one bus: decodes an event record into its descriptor and updates the
// bus report. Keeps its own continuity state and remembered identifier and control byte, so
// that buses analysed side by side (sessions on different cards, busdump's senders) never
// disturb each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/driver/continuity.h"
#include "common/driver/eventrecord.h"

namespace analysis {

class SequenceBuffer;

// One analysed event. Fields that the event's class does not use are 0; `frame` and `data`
// point into the event record and are valid as long as it is.
struct AnalyzedEvent {
    uint64_t evt_index = 0;
    uint64_t evt_timestamp = 0;
    uint32_t time_a = 0;  // evt_time_a x 100
    uint32_t time_b = 0;  // evt_time_b x 100
    uint8_t error = 0;    // error_kind::
    uint16_t frame_length = 0;
    const uint8_t* frame = nullptr;
    uint8_t control = 0;
    // Frame bytes 1 and 2 of an identifier frame, else the identifier of the last one.
    uint16_t identifier = 0;
    uint16_t fcs = 0;
    uint32_t frame_class = 0;  // event_class::
    uint32_t class3_b4_6 = 0;
    uint32_t class3_b1_3 = 0;
    uint8_t pdu_type = 0;  // responses
    uint16_t data_length = 0;
    const uint8_t* data = nullptr;
};

class FrameAnalyzer {
public:
    // The outcome of the frame check where the caller has it already (busdump's decoder checks
    // every frame): the analysis then does not compute it again.
    enum class KnownCheck { unknown, passed, failed };

    // Identifier frames are appended to `sequence` under `sequence_lock`; without a sequence
    // buffer they are not recorded.
    FrameAnalyzer(uint16_t sync_id, SequenceBuffer* sequence, std::mutex* sequence_lock);

    // Analyses `record` into `report` (the report lock is held by the caller) and fills `event`.
    void analyze(const linkscope::EventRecord& record, uint8_t* report, AnalyzedEvent& event,
                 KnownCheck known = KnownCheck::unknown);

    uint16_t sync_id() const { return sync_id_; }

private:
    uint8_t classify(const linkscope::EventRecord& record, uint8_t* report, AnalyzedEvent& event, KnownCheck known);
    uint8_t count_status_errors(uint16_t status, uint8_t* report);
    uint8_t analyze_correct_frame(const linkscope::EventRecord& record, uint8_t* report, AnalyzedEvent& event);
    void analyze_identifier_frame(const linkscope::EventRecord& record, uint8_t* report, AnalyzedEvent& event);
    uint8_t analyze_response(const linkscope::EventRecord& record, uint8_t* report, AnalyzedEvent& event);
    void fill_class2(const uint8_t* frame, std::size_t length, AnalyzedEvent& event);
    void fill_class3(const uint8_t* frame, std::size_t length, AnalyzedEvent& event);
    void record_sequence(uint8_t control, uint16_t identifier, uint64_t time);
    void count_correct(const linkscope::EventRecord& record, uint8_t* report);

    const uint16_t sync_id_;
    SequenceBuffer* const sequence_;
    std::mutex* const sequence_lock_;
    linkscope::Continuity continuity_;
    uint16_t last_identifier_ = 0;
    uint8_t last_control_ = 0;
    bool has_last_control_ = false;
};

}  // namespace analysis
