// Per-event analysis of one session: the bus analysis of the event into the session report,
// handed on as the descriptor that the data handler receives.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/analysis/cycleanalyzer.h"
#include "common/analysis/frameanalyzer.h"
#include "common/analysis/sequencebuffer.h"
#include "common/analysis/variabledecoder.h"
#include "common/driver/eventrecord.h"
#include "libbusrec/include/busrec.h"

namespace busrec {

using analysis::CycleAnalyzer;
using analysis::SequenceBuffer;
namespace variable = analysis::variable;

class EventAnalyzer {
public:
    // The sequence buffer is appended to under `sequence_lock`.
    EventAnalyzer(uint16_t sync_id, SequenceBuffer& sequence, std::mutex& sequence_lock)
        : frames_(sync_id, &sequence, &sequence_lock) {}

    // Analyses `record` into `report` (the report lock is held by the caller) and fills `event`.
    void analyze(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event);

    uint16_t sync_id() const { return frames_.sync_id(); }

private:
    analysis::FrameAnalyzer frames_;
};

}  // namespace busrec
