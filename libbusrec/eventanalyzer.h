// Per-event analysis of one session: decodes an event record into its descriptor and updates
// the session report. Keeps its own continuity state and remembered identifier and control
// byte, so that sessions on different cards never disturb each other.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/driver/continuity.h"
#include "common/driver/eventrecord.h"
#include "libbusrec/include/busrec.h"

namespace busrec {

class SequenceBuffer;

class EventAnalyzer {
public:
    // The sequence buffer is appended to under `sequence_lock`.
    EventAnalyzer(uint16_t sync_id, SequenceBuffer& sequence, std::mutex& sequence_lock);

    // Analyses `record` into `report` (the report lock is held by the caller) and fills `event`.
    void analyze(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);

    uint16_t sync_id() const { return sync_id_; }

private:
    uint8_t classify(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);
    uint8_t count_status_errors(uint16_t status, uint8_t* report);
    uint8_t analyze_correct_frame(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);
    void analyze_identifier_frame(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);
    uint8_t analyze_response(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);
    void fill_class2(const uint8_t* frame, std::size_t length, busrec_event& event);
    void fill_class3(const uint8_t* frame, std::size_t length, busrec_event& event);
    void record_sequence(uint8_t control, uint16_t identifier, uint64_t time);
    void count_correct(const linkscope::EventRecord& record, uint8_t* report);

    const uint16_t sync_id_;
    SequenceBuffer& sequence_;
    std::mutex& sequence_lock_;
    linkscope::Continuity continuity_;
    uint16_t last_identifier_ = 0;
    uint8_t last_control_ = 0;
    bool has_last_control_ = false;
};

}  // namespace busrec
