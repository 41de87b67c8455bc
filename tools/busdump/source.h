// One sender heard by busdump, followed as a stream of its own: its sequence numbers and event
// indices, the card serial number its lifesigns carry, its lifesign period (and so whether it
// has gone silent), its counts, and the ID frame that a response of its stream answers. A gateway stays one sender through its restarts, whatever
// port each run sends from (see SenderId). Pure: no clock, no socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/lifesignclock.h"
#include "tools/busdump/notice.h"
#include "tools/busdump/senderid.h"
#include "tools/busdump/statsmeter.h"
#include "tools/busdump/streamtracker.h"

namespace busdump {

class Source {
public:
    // `number` counts the senders from 1 in the order they were first heard. An untracked
    // source gathers senders beyond the table's limit: their streams are mixed, so neither
    // sequence nor indices are followed, no response is matched to an ID frame, no card is
    // named and no lifesign period is told (the default one stands); its `name` stands for its
    // address.
    Source(unsigned number, SenderId id, bool tracked = true, std::string name = std::string());

    // Notices revealed by this datagram, in stream order (the first one of a source announces
    // it); sets each response's `response_to`; adds the datagram to the counts.
    std::vector<Notice> observe(DecodedDatagram& datagram, int64_t at_us);

    // The gateway now sends from `port`: a new run, told by its next datagram.
    void moved_to(uint16_t port);
    // Its "new sender" notice waits for a lifesign that names its card (a few at most), which
    // may show it to be a known gateway's new run (its address has one).
    void hold_announcement() { hold_ = true; }
    // `latest` turned out to be this gateway's new run (its lifesign named this card): its counts
    // join these, its stream state goes on here, and one restart is counted. The notice for it.
    Notice absorb(const Source& latest, uint64_t sequence);

    unsigned number() const { return number_; }
    const SenderId& id() const { return id_; }
    // "address:port" of its latest datagram, or the name of an untracked entry.
    std::string address() const { return tracked_ ? id_.endpoint() : name_; }
    bool tracked() const { return tracked_; }
    const std::optional<uint32_t>& serial() const { return id_.serial; }
    const StatsMeter::Counts& counts() const { return counts_; }
    int64_t first_arrival_us() const { return first_arrival_us_; }
    int64_t last_arrival_us() const { return last_arrival_us_; }
    // Its latest lifesign and its lifesign period.
    const LifesignClock& lifesigns() const { return lifesigns_; }
    // Nothing came from it for three lifesign periods up to `now_us`.
    bool silent(int64_t now_us) const { return lifesigns_.silent(last_arrival_us_, now_us); }
    // Datagrams of this sender that this host's socket dropped: one receiver_drop notice, counted.
    Notice charge_receiver_drops(uint64_t datagrams, uint64_t sequence);
    // Counts of streams that are no longer followed on their own (untracked entries only).
    void add_counts(const StatsMeter::Counts& counts) { StatsMeter::add(counts_, counts); }

private:
    void announce(const DecodedDatagram& datagram, std::vector<Notice>& out);
    // The card its lifesigns name, and its lifesign period; returns the lifesigns in the datagram.
    unsigned observe_lifesigns(const DecodedDatagram& datagram, std::vector<Notice>& out);
    void observe_losses(const DecodedDatagram& datagram, std::vector<Notice>& out);
    void match_responses(DecodedDatagram& datagram);

    const unsigned number_;
    SenderId id_;
    const bool tracked_;
    const std::string name_;
    StreamTracker tracker_;
    StatsMeter::Counts counts_;
    LifesignClock lifesigns_;
    int64_t first_arrival_us_ = 0;
    int64_t last_arrival_us_ = 0;
    bool heard_ = false;
    bool announced_ = false;
    bool moved_ = false;  // the next restart notice names the new port
    bool hold_ = false;   // new_source waits for a lifesign that names the card
    unsigned held_lifesigns_ = 0;
    uint64_t first_sequence_ = 0;

    // The gateway's counts in its last loss record; absent until one came (joining a run in its
    // middle, the first record only sets this baseline).
    std::optional<LossRecord> gateway_losses_;

    // The event just before, for the response that follows an ID frame.
    std::optional<uint16_t> last_identifier_;
    uint64_t last_index_ = 0;
};

}  // namespace busdump
