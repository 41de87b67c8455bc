#include "tools/busdump/statsmeter.h"

namespace busdump {

double StatsMeter::Interval::rate(uint64_t count) const {
    const double s = seconds();
    return s > 0 ? static_cast<double>(count) / s : 0.0;
}

void StatsMeter::count(const DecodedDatagram& datagram, const std::vector<Notice>& notices) {
    add(interval_, datagram, notices);
    add(totals_, datagram, notices);
}

void StatsMeter::arrived(int64_t at_us) {
    if (first_arrival_us_ == 0) first_arrival_us_ = at_us;
    last_arrival_us_ = at_us;
}

StatsMeter::Interval StatsMeter::take_interval(int64_t now_us) {
    Interval interval{interval_start_us_, now_us, interval_};
    interval_ = Counts{};
    interval_start_us_ = now_us;
    return interval;
}

void StatsMeter::add(Counts& counts, const DecodedDatagram& datagram, const std::vector<Notice>& notices) {
    ++counts.datagrams;
    counts.bytes += datagram.size;
    for (const DecodedRecord& record : datagram.records) {
        ++counts.records;
        switch (record.kind) {
            case RecordKind::event:
                ++counts.events;
                if (record.event.fcs == FcsResult::bad) ++counts.fcs_bad;
                break;
            case RecordKind::lifesign: ++counts.lifesigns; break;
            case RecordKind::unknown: ++counts.unknown_records; break;
        }
    }
    for (const Notice& notice : notices) {
        switch (notice.kind) {
            case Notice::Kind::sequence_gap:
                ++counts.sequence_gaps;
                counts.datagrams_lost += notice.lost;
                break;
            case Notice::Kind::index_gap:
                ++counts.index_gaps;
                counts.frames_lost += notice.lost;
                break;
            case Notice::Kind::restart:
            case Notice::Kind::sequence_back: ++counts.restarts; break;
            case Notice::Kind::index_back: ++counts.index_resets; break;
            case Notice::Kind::malformed: ++counts.malformed; break;
            case Notice::Kind::new_source:
            case Notice::Kind::card_serial: break;
        }
    }
}

}  // namespace busdump
