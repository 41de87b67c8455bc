#include "libbusrec/eventanalyzer.h"

#include <cstring>

#include "libbusrec/reportlayout.h"

namespace busrec {

void EventAnalyzer::analyze(const linkscope::EventRecord& record, uint8_t* report, busrec_event& event) {
    analysis::AnalyzedEvent analyzed;
    frames_.analyze(record, report, analyzed);
    std::memset(&event, 0, sizeof event);
    event.evt_index = analyzed.evt_index;
    event.evt_timestamp = analyzed.evt_timestamp;
    event.time_a = analyzed.time_a;
    event.time_b = analyzed.time_b;
    event.error = analyzed.error;
    event.frame_length = analyzed.frame_length;
    event.frame = analyzed.frame;
    event.control = analyzed.control;
    event.identifier = analyzed.identifier;
    event.fcs = analyzed.fcs;
    event.frame_class = analyzed.frame_class;
    event.class3_b4_6 = analyzed.class3_b4_6;
    // Class 3 and responses share the word at offset 44; the classes exclude each other.
    if (analyzed.frame_class == BUSREC_CLASS_3)
        event.word44.class3_b1_3 = analyzed.class3_b1_3;
    else
        event.word44.response.pdu_type = analyzed.pdu_type;
    event.data_length = analyzed.data_length;
    event.data = analyzed.data;
}

}  // namespace busrec
