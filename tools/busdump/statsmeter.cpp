#include "tools/busdump/statsmeter.h"

namespace busdump {

namespace {

// Sums that stop at the top rather than wrap round to a small number.
void add_to(uint64_t& sum, uint64_t more) { sum = more > UINT64_MAX - sum ? UINT64_MAX : sum + more; }

uint64_t beyond(uint64_t later, uint64_t earlier) { return later > earlier ? later - earlier : 0; }

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

void StatsMeter::not_written(uint64_t datagrams) {
    interval_.not_written += datagrams;
    totals_.not_written += datagrams;
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
            case RecordKind::loss: ++counts.loss_records; break;
            case RecordKind::unknown: ++counts.unknown_records; break;
        }
    }
    for (const Notice& notice : notices) add(counts, notice, datagram.header_valid);
}

void StatsMeter::add(Counts& counts, const Notice& notice, bool header_valid) {
    switch (notice.kind) {
        case Notice::Kind::sequence_gap:
            ++counts.sequence_gaps;
            add_to(counts.datagrams_lost, notice.lost);
            break;
        case Notice::Kind::index_gap:
            ++counts.index_gaps;
            add_to(counts.frames_lost, notice.lost);
            if (!notice.behind_lost_datagrams) add_to(counts.frames_lost_upstream, notice.lost);
            break;
        case Notice::Kind::restart:
        case Notice::Kind::sequence_back:
        case Notice::Kind::sequence_jump: ++counts.restarts; break;
        case Notice::Kind::index_back: ++counts.index_resets; break;
        case Notice::Kind::malformed:
            ++counts.malformed;
            if (!header_valid) ++counts.malformed_unsequenced;
            break;
        case Notice::Kind::card_loss: add_to(counts.card_lost_frames, notice.lost); break;
        case Notice::Kind::queue_refused: add_to(counts.queue_refused, notice.lost); break;
        case Notice::Kind::send_failed:
            add_to(counts.send_failed_records, notice.lost);
            add_to(counts.send_failed_datagrams, notice.datagrams);
            break;
        case Notice::Kind::receiver_drop: add_to(counts.receiver_dropped, notice.lost); break;
        case Notice::Kind::new_source:
        case Notice::Kind::card_serial: break;
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
    add_to(counts.loss_records, more.loss_records);
    add_to(counts.card_lost_frames, more.card_lost_frames);
    add_to(counts.queue_refused, more.queue_refused);
    add_to(counts.send_failed_datagrams, more.send_failed_datagrams);
    add_to(counts.send_failed_records, more.send_failed_records);
    add_to(counts.receiver_dropped, more.receiver_dropped);
    add_to(counts.frames_lost_upstream, more.frames_lost_upstream);
    add_to(counts.malformed_unsequenced, more.malformed_unsequenced);
}

StatsMeter::Counts StatsMeter::difference(const Counts& later, const Counts& earlier) {
    Counts d;
    d.datagrams = beyond(later.datagrams, earlier.datagrams);
    d.bytes = beyond(later.bytes, earlier.bytes);
    d.records = beyond(later.records, earlier.records);
    d.events = beyond(later.events, earlier.events);
    d.lifesigns = beyond(later.lifesigns, earlier.lifesigns);
    d.unknown_records = beyond(later.unknown_records, earlier.unknown_records);
    d.malformed = beyond(later.malformed, earlier.malformed);
    d.fcs_bad = beyond(later.fcs_bad, earlier.fcs_bad);
    d.sequence_gaps = beyond(later.sequence_gaps, earlier.sequence_gaps);
    d.datagrams_lost = beyond(later.datagrams_lost, earlier.datagrams_lost);
    d.index_gaps = beyond(later.index_gaps, earlier.index_gaps);
    d.frames_lost = beyond(later.frames_lost, earlier.frames_lost);
    d.restarts = beyond(later.restarts, earlier.restarts);
    d.index_resets = beyond(later.index_resets, earlier.index_resets);
    d.not_written = beyond(later.not_written, earlier.not_written);
    return d;
}

}  // namespace busdump
