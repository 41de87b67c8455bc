#include "tools/busdump/source.h"

#include "common/driver/controlbyte.h"

namespace busdump {

Source::Source(unsigned number, std::string address, bool tracked)
    : number_(number), address_(std::move(address)), tracked_(tracked) {}

std::vector<Notice> Source::observe(DecodedDatagram& datagram, int64_t at_us) {
    std::vector<Notice> out;
    if (!heard_) {
        heard_ = true;
        first_arrival_us_ = at_us;
        Notice notice;
        notice.kind = Notice::Kind::new_source;
        notice.sequence = datagram.sequence;
        out.push_back(notice);
    }
    last_arrival_us_ = at_us;
    if (tracked_) {
        std::vector<Notice> stream = tracker_.observe(datagram);
        out.insert(out.end(), stream.begin(), stream.end());
        match_responses(datagram);
    } else if (!datagram.ok()) {
        Notice notice;
        notice.kind = Notice::Kind::malformed;
        notice.sequence = datagram.sequence;
        notice.text = datagram.error;
        out.push_back(notice);
    }
    observe_serial(datagram, out);
    StatsMeter::add(counts_, datagram, out);
    return out;
}

void Source::observe_serial(const DecodedDatagram& datagram, std::vector<Notice>& out) {
    for (const DecodedRecord& record : datagram.records) {
        if (record.kind != RecordKind::lifesign || !record.lifesign) continue;
        const uint32_t serial = record.lifesign->sn;
        // 0: the gateway has not read its card's identity (yet).
        if (serial == 0 || (serial_ && *serial_ == serial)) continue;
        Notice notice;
        notice.kind = Notice::Kind::card_serial;
        notice.sequence = datagram.sequence;
        notice.had_from = serial_.has_value();
        notice.from = serial_.value_or(0);
        notice.to = serial;
        out.push_back(notice);
        serial_ = serial;
    }
}

void Source::match_responses(DecodedDatagram& datagram) {
    for (DecodedRecord& record : datagram.records) {
        if (record.kind != RecordKind::event) continue;
        EventInfo& event = record.event;
        // Only a frame that directly follows the ID frame answers it: a gap in the indices
        // (or a restart) may have taken the real ID frame away.
        const bool follows = event.index == 0 || last_index_ == 0 || event.index == last_index_ + 1;
        if (event.control && !linkscope::ControlByte::is_identifier(*event.control) && follows)
            event.response_to = last_identifier_;
        last_identifier_ = event.identifier;
        last_index_ = event.index;
    }
}

}  // namespace busdump
