// Replays a capture of the gateway's datagrams (a pcap file, as busdump -w writes it): the
// event records in them, in capture order and unchanged, are packed into event blocks again as
// a card would deliver them, paced by the records' own time stamps. Lifesigns and any other
// record type are left out: the gateway that replays makes its own. Malformed datagrams are
// skipped whole, as busdump skips them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/stream/capturefile.h"
#include "sim/replaysource.h"

namespace sim {

class CaptureReplay : public ReplaySource {
public:
    // The pause between two blocks is cut to this: a capture that spans an idle hour replays
    // without the hour.
    static constexpr uint64_t MAX_PAUSE_US = 10000000;

    // Opens `path` and reads it through once: null with `error` set when it cannot be read or
    // holds no event record; warning() then tells what was skipped. A block holds the records
    // of at most `irq_us` of bus time, as the card's interrupt period bounds it.
    static std::unique_ptr<CaptureReplay> open(const std::string& path, uint64_t irq_us, std::string* error);

    bool next_block(uint8_t* out, uint64_t* pause_us) override;
    void rewind() override;
    bool timed() const override { return true; }

    uint64_t events() const { return events_; }           // event records in the capture
    uint64_t malformed() const { return malformed_; }     // datagrams skipped as malformed
    uint64_t foreign() const { return foreign_; }         // datagrams of other senders, left out
    const std::string& warning() const { return warning_; }

    // The event records of one datagram, appended to `out`; false (nothing appended) when the
    // datagram is malformed.
    static bool event_records(const std::vector<uint8_t>& datagram, std::deque<std::vector<uint8_t>>& out);

private:
    CaptureReplay(std::unique_ptr<CaptureFile> file, uint64_t irq_us) : file_(std::move(file)), irq_us_(irq_us) {}

    // The next event record of the capture; false at its end.
    bool next_record(std::vector<uint8_t>& record);
    std::string describe_skips() const;
    std::string sender_text() const;  // "address:port" of the sender replayed

    std::unique_ptr<CaptureFile> file_;
    const uint64_t irq_us_;
    std::deque<std::vector<uint8_t>> pending_;  // records of the datagram being replayed
    std::vector<uint8_t> held_;                 // a record that did not fit in the block before
    bool started_ = false;
    uint64_t last_stamp_us_ = 0;                // time stamp of the last record delivered
    uint64_t events_ = 0;
    uint64_t malformed_ = 0;
    uint64_t foreign_ = 0;
    bool have_sender_ = false;      // the sender replayed, chosen by the pass at open()
    uint32_t sender_address_ = 0;
    uint16_t sender_port_ = 0;
    std::string warning_;
};

}  // namespace sim
