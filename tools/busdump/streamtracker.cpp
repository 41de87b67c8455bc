#include "tools/busdump/streamtracker.h"

namespace busdump {

// The first sequence number of a gateway run.
constexpr uint64_t FIRST_SEQUENCE = 1;

std::vector<Notice> StreamTracker::observe(const DecodedDatagram& datagram) {
    std::vector<Notice> out;
    if (datagram.header_valid) observe_sequence(datagram.sequence, out);
    if (!datagram.ok()) {
        datagrams_missing_ = true;  // its events are skipped
        Notice notice;
        notice.kind = Notice::Kind::malformed;
        notice.sequence = datagram.sequence;
        notice.text = datagram.error;
        out.push_back(notice);
        return out;
    }
    for (const DecodedRecord& record : datagram.records)
        if (record.kind == RecordKind::event) observe_index(datagram.sequence, record.event.index, out);
    return out;
}

void StreamTracker::observe_sequence(uint64_t sequence, std::vector<Notice>& out) {
    const bool first = !have_sequence_;
    const bool new_run = new_run_;
    const uint64_t last = last_sequence_;
    have_sequence_ = true;
    new_run_ = false;
    last_sequence_ = sequence;
    // Joining a run in its middle is no loss; the first datagram only sets the baseline.
    if (first || sequence == last + 1) return;

    Notice notice;
    notice.sequence = sequence;
    notice.from = last;
    notice.to = sequence;
    if (!new_run && sequence > last && sequence - last <= MAX_GAP) {
        notice.kind = Notice::Kind::sequence_gap;
        notice.lost = sequence - last - 1;
        datagrams_missing_ = true;
        out.push_back(notice);
        return;
    }
    // A new run: its card starts counting frames again, so indices start afresh too.
    if (new_run || sequence == FIRST_SEQUENCE)
        notice.kind = Notice::Kind::restart;
    else
        notice.kind = sequence <= last ? Notice::Kind::sequence_back : Notice::Kind::sequence_jump;
    last_index_ = 0;
    out.push_back(notice);
}

void StreamTracker::observe_index(uint64_t sequence, uint64_t index, std::vector<Notice>& out) {
    if (index == 0) return;  // a record without an index is neither checked nor kept
    const uint64_t last = last_index_;
    const bool behind_lost_datagrams = datagrams_missing_;
    last_index_ = index;
    datagrams_missing_ = false;
    if (last == 0 || index == last + 1) return;

    Notice notice;
    notice.sequence = sequence;
    notice.from = last;
    notice.to = index;
    if (index > last && index - last <= MAX_GAP) {
        notice.kind = Notice::Kind::index_gap;
        notice.lost = index - last - 1;
        notice.behind_lost_datagrams = behind_lost_datagrams;
    } else {
        notice.kind = Notice::Kind::index_back;
    }
    out.push_back(notice);
}

}  // namespace busdump
