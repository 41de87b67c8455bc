// Counts what arrives, both per reporting interval and since the start.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/notice.h"

namespace busdump {

class StatsMeter {
public:
    struct Counts {
        uint64_t datagrams = 0;
        uint64_t bytes = 0;  // UDP payload bytes, headers included
        uint64_t records = 0;
        uint64_t events = 0;
        uint64_t lifesigns = 0;
        uint64_t unknown_records = 0;
        uint64_t malformed = 0;
        uint64_t fcs_bad = 0;
        uint64_t sequence_gaps = 0;
        uint64_t datagrams_lost = 0;
        uint64_t index_gaps = 0;
        uint64_t frames_lost = 0;
        uint64_t restarts = 0;
        uint64_t index_resets = 0;
        uint64_t not_written = 0;  // datagrams that could not be written to the capture file (-w)
        // Losses by stage (see LossStages). The gateway's own counts come from its loss records.
        uint64_t loss_records = 0;
        uint64_t card_lost_frames = 0;
        uint64_t queue_refused = 0;
        uint64_t send_failed_datagrams = 0;
        uint64_t send_failed_records = 0;
        uint64_t receiver_dropped = 0;  // datagrams this host's socket dropped, charged to the sender
        // Frames missing between two events with no datagram lost between them: lost before the
        // gateway's sender, at the card or in the gateway's queue.
        uint64_t frames_lost_upstream = 0;
        // Malformed datagrams whose header could not be read: each leaves a hole in the sequence.
        uint64_t malformed_unsequenced = 0;

        uint64_t gaps() const { return sequence_gaps + index_gaps; }
    };

    struct Interval {
        int64_t start_us = 0;
        int64_t end_us = 0;
        Counts counts;
        // Arrival of the first and of the last datagram (totals only; 0 before any).
        int64_t first_arrival_us = 0;
        int64_t last_arrival_us = 0;

        double seconds() const { return static_cast<double>(end_us - start_us) / 1e6; }
        // count per second over the interval; 0 for an empty interval
        double rate(uint64_t count) const;
    };

    explicit StatsMeter(int64_t start_us) : interval_start_us_(start_us), start_us_(start_us) {}

    void count(const DecodedDatagram& datagram, const std::vector<Notice>& notices);
    // When a datagram arrived: the totals tell how long the stream itself lasted.
    void arrived(int64_t at_us);
    // A datagram that could not be written to the capture file.
    void not_written(uint64_t datagrams = 1);

    // The counts since the previous call (or the start), which then begin again from zero.
    Interval take_interval(int64_t now_us);

    Interval totals(int64_t now_us) const { return {start_us_, now_us, totals_, first_arrival_us_, last_arrival_us_}; }

    // What one datagram and its notices add to `counts`.
    static void add(Counts& counts, const DecodedDatagram& datagram, const std::vector<Notice>& notices);
    // What one notice adds to `counts`.
    static void add(Counts& counts, const Notice& notice, bool header_valid = true);
    // The counts of another stream added to `counts`.
    static void add(Counts& counts, const Counts& more);
    // What `later` counted beyond `earlier` (0 for a count that did not grow).
    static Counts difference(const Counts& later, const Counts& earlier);

private:

    int64_t interval_start_us_;
    int64_t start_us_;
    Counts interval_;
    Counts totals_;
    int64_t first_arrival_us_ = 0;
    int64_t last_arrival_us_ = 0;
};

}  // namespace busdump
