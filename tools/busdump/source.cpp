#include "tools/busdump/source.h"

#include <algorithm>

#include "common/driver/controlbyte.h"

namespace busdump {

namespace {

// The gateway's first lifesigns may name no card yet (serial 0): a held announcement waits for
// this many of them at most (2 s at the default lifesign period).
constexpr unsigned MAX_HELD_LIFESIGNS = 4;

// A count of the gateway's that went from `from` to `to`: a notice of the difference, if any.
bool note_growth(Notice::Kind kind, uint64_t from, uint64_t to, uint64_t sequence, std::vector<Notice>& out) {
    if (to <= from) return false;
    Notice notice;
    notice.kind = kind;
    notice.sequence = sequence;
    notice.from = from;
    notice.to = to;
    notice.lost = to - from;
    out.push_back(notice);
    return true;
}

bool any_count_back(const LossRecord& before, const LossRecord& now) {
    return now.counter <= before.counter || now.card_lost_frames < before.card_lost_frames ||
           now.queue_refused < before.queue_refused || now.send_failed_datagrams < before.send_failed_datagrams ||
           now.send_failed_records < before.send_failed_records;
}

}  // namespace

Source::Source(unsigned number, SenderId id, bool tracked, std::string name)
    : number_(number), id_(std::move(id)), tracked_(tracked), name_(std::move(name)) {}

std::vector<Notice> Source::observe(DecodedDatagram& datagram, int64_t at_us) {
    std::vector<Notice> out;
    if (!heard_) {
        heard_ = true;
        first_arrival_us_ = at_us;
        first_sequence_ = datagram.sequence;
    }
    if (!hold_ && !announced_) announce(datagram, out);
    last_arrival_us_ = at_us;
    if (tracked_) {
        std::vector<Notice> stream = tracker_.observe(datagram);
        if (moved_ && datagram.header_valid) {
            moved_ = false;
            for (Notice& notice : stream)
                if (notice.kind == Notice::Kind::restart) notice.port = id_.port;
        }
        out.insert(out.end(), stream.begin(), stream.end());
        match_responses(datagram);
        held_lifesigns_ += observe_lifesigns(datagram, out);
        observe_losses(datagram, out);
        if (hold_ && (id_.serial || held_lifesigns_ >= MAX_HELD_LIFESIGNS)) {
            hold_ = false;
            std::vector<Notice> announced;
            announce(datagram, announced);
            out.insert(out.begin(), announced.begin(), announced.end());
        }
    } else if (!datagram.ok()) {
        Notice notice;
        notice.kind = Notice::Kind::malformed;
        notice.sequence = datagram.sequence;
        notice.text = datagram.error;
        out.push_back(notice);
    }
    StatsMeter::add(counts_, datagram, out);
    return out;
}

void Source::announce(const DecodedDatagram& datagram, std::vector<Notice>& out) {
    announced_ = true;
    Notice notice;
    notice.kind = Notice::Kind::new_source;
    notice.sequence = datagram.sequence;
    out.push_back(notice);
}

void Source::moved_to(uint16_t port) {
    id_.port = port;
    moved_ = true;
    tracker_.begin_run();
}

Notice Source::absorb(const Source& latest, uint64_t sequence) {
    Notice notice;
    notice.kind = Notice::Kind::restart;
    notice.sequence = sequence;
    notice.from = tracker_.last_sequence();
    notice.to = latest.first_sequence_;
    notice.port = latest.id_.port;
    StatsMeter::add(counts_, latest.counts_);
    ++counts_.restarts;
    id_.port = latest.id_.port;
    tracker_.take_over(latest.tracker_);
    lifesigns_.take_over(latest.lifesigns_);
    gateway_losses_ = latest.gateway_losses_;
    last_identifier_ = latest.last_identifier_;
    last_index_ = latest.last_index_;
    if (latest.last_arrival_us_ > last_arrival_us_) last_arrival_us_ = latest.last_arrival_us_;
    moved_ = false;
    return notice;
}

unsigned Source::observe_lifesigns(const DecodedDatagram& datagram, std::vector<Notice>& out) {
    unsigned count = 0;
    for (const DecodedRecord& record : datagram.records) {
        if (record.kind != RecordKind::lifesign) continue;
        ++count;
        if (!record.lifesign) continue;
        lifesigns_.observe(record.lifesign);
        const uint32_t serial = record.lifesign->sn;
        // 0: the gateway has not read its card's identity (yet).
        if (serial == 0 || (id_.serial && *id_.serial == serial)) continue;
        Notice notice;
        notice.kind = Notice::Kind::card_serial;
        notice.sequence = datagram.sequence;
        notice.had_from = id_.serial.has_value();
        notice.from = id_.serial.value_or(0);
        notice.to = serial;
        out.push_back(notice);
        id_.serial = serial;
    }
    return count;
}

void Source::observe_losses(const DecodedDatagram& datagram, std::vector<Notice>& out) {
    for (const DecodedRecord& record : datagram.records) {
        if (record.kind != RecordKind::loss || !record.loss) continue;
        const LossRecord& now = *record.loss;
        if (!gateway_losses_) gateway_losses_ = now.counter == 1 ? LossRecord{} : now;
        LossRecord before = *gateway_losses_;
        // Numbers or counts that went back belong to a new run of the gateway, counted from zero. (A
        // restart told by the sequence alone is no proof: a corrupted or forged number is not a run.)
        if (now.counter != before.counter && any_count_back(before, now)) before = LossRecord{};
        note_growth(Notice::Kind::card_loss, before.card_lost_frames, now.card_lost_frames, datagram.sequence, out);
        note_growth(Notice::Kind::queue_refused, before.queue_refused, now.queue_refused, datagram.sequence, out);
        // A datagram holds at least one record: the records grow whenever the datagrams do.
        if (note_growth(Notice::Kind::send_failed, before.send_failed_records, now.send_failed_records,
                        datagram.sequence, out))
            out.back().datagrams = now.send_failed_datagrams - std::min(before.send_failed_datagrams,
                                                                        now.send_failed_datagrams);
        gateway_losses_ = now;
    }
}

Notice Source::charge_receiver_drops(uint64_t datagrams, uint64_t sequence) {
    Notice notice;
    notice.kind = Notice::Kind::receiver_drop;
    notice.sequence = sequence;
    notice.lost = datagrams;
    StatsMeter::add(counts_, notice);
    return notice;
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
