#include "tools/busdump/statsmeter.h"

namespace busdump {

namespace {

// Sums that stop at the top rather than wrap round to a small number.
void add_to(uint64_t& sum, uint64_t more) { sum = more > UINT64_MAX - sum ? UINT64_MAX : sum + more; }

}  // namespace

double StatsMeter::Interval::rate(uint64_t count) const {
    const double s = seconds();
    return s > 0 ? static_cast<double>(count) / s : 0.0;
}

void StatsMeter::count(const DecodedDatagram& datagram, const std::vector<Notice>& notices) {
    // One walk of the records for both.
    Counts datagram_counts;
    add(datagram_counts, datagram, notices);
    add(interval_, datagram_counts);
    add(totals_, datagram_counts);
}

void StatsMeter::arrived(int64_t at_us) {
    if (first_arrival_us_ == 0) first_arrival_us_ = at_us;
    last_arrival_us_ = at_us;
}

void StatsMeter::not_written() {
    ++interval_.not_written;
    ++totals_.not_written;
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
                add_to(counts.datagrams_lost, notice.lost);
                break;
            case Notice::Kind::index_gap:
                ++counts.index_gaps;
                add_to(counts.frames_lost, notice.lost);
                break;
            case Notice::Kind::restart:
            case Notice::Kind::sequence_back:
            case Notice::Kind::sequence_jump: ++counts.restarts; break;
            case Notice::Kind::index_back: ++counts.index_resets; break;
            case Notice::Kind::malformed: ++counts.malformed; break;
            case Notice::Kind::new_source:
            case Notice::Kind::card_serial: break;
        }
    }
}


void StatsMeter::add(Counts& counts, const Counts& more) {
    add_to(counts.datagrams, more.datagrams);
    add_to(counts.bytes, more.bytes);
    add_to(counts.records, more.records);
    add_to(counts.events, more.events);
    add_to(counts.lifesigns, more.lifesigns);
    add_to(counts.unknown_records, more.unknown_records);
    add_to(counts.malformed, more.malformed);
    add_to(counts.fcs_bad, more.fcs_bad);
    add_to(counts.sequence_gaps, more.sequence_gaps);
    add_to(counts.datagrams_lost, more.datagrams_lost);
    add_to(counts.index_gaps, more.index_gaps);
    add_to(counts.frames_lost, more.frames_lost);
    add_to(counts.restarts, more.restarts);
    add_to(counts.index_resets, more.index_resets);
    add_to(counts.not_written, more.not_written);
}

}  // namespace busdump
