// Replays a capture of the gateway's datagrams (pcap or pcapng files, as busdump -w writes
// them; several files are read as one, in the order given): the event records in them, in capture order and unchanged, are packed into event blocks again as
// a card would deliver them, paced by the records' own time stamps. Lifesigns and any other
// record type are left out: the gateway that replays makes its own. Malformed datagrams are
// skipped whole, as busdump skips them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/stream/captureseries.h"
#include "sim/replaysource.h"

namespace sim {

class CaptureReplay : public ReplaySource {
public:
    // The pause between two blocks is cut to this: a capture that spans an idle hour replays
    // without the hour.
    static constexpr uint64_t MAX_PAUSE_US = 10000000;

    // Which gateway of the capture is replayed: the first sender's, or the one whose lifesigns
    // name card `serial` (not 0), or the first one at `address` (and `port`, not 0); both may
    // be given. A gateway whose card is known is replayed through all its runs, whatever port
    // each sent from.
    struct Choice {
        uint32_t serial = 0;
        bool by_address = false;
        uint32_t address = 0;  // IPv4, host order
        uint16_t port = 0;
    };

    // Opens `paths` (read one after the other; `what` names them in messages) and reads them
    // through once: null with `error` set when one cannot be read or they hold no event record
    // of the gateway chosen; warning() then tells what was skipped. A block holds the records
    // of at most `irq_us` of bus time, as the card's interrupt period bounds it.
    static std::unique_ptr<CaptureReplay> open(const std::vector<std::string>& paths, const std::string& what,
                                               uint64_t irq_us, std::string* error, const Choice& choice);
    static std::unique_ptr<CaptureReplay> open(const std::string& path, uint64_t irq_us, std::string* error,
                                               uint32_t serial = 0);

    bool next_block(uint8_t* out, uint64_t* pause_us) override;
    void rewind() override;
    bool timed() const override { return true; }

    uint64_t events() const { return events_; }           // event records in the capture
    uint64_t malformed() const { return malformed_; }     // datagrams skipped as malformed
    uint64_t foreign() const { return foreign_; }         // datagrams of other senders, left out
    const std::string& warning() const { return warning_; }

    // The event records of one datagram, appended to `out`; false (nothing appended) when the
    // datagram is malformed. `serial` (when given) gets the card its lifesign names, if any.
    static bool event_records(const std::vector<uint8_t>& datagram, std::deque<std::vector<uint8_t>>& out,
                              uint32_t* serial = nullptr);

private:
    CaptureReplay(std::unique_ptr<CaptureSeries> file, uint64_t irq_us) : file_(std::move(file)), irq_us_(irq_us) {}

    // The cards the capture's senders name, and the gateway to replay; false with `error`
    // when no sender is the one chosen.
    bool survey(const Choice& choice, std::string* error);
    static bool at_address(const Choice& choice, const CaptureFile::Packet& packet);
    bool from_gateway(const CaptureFile::Packet& packet) const;
    // The next event record of the capture; false at its end.
    bool next_record(std::vector<uint8_t>& record);
    std::string describe_skips() const;
    std::string sender_text() const;  // "address:port" of the sender replayed

    std::unique_ptr<CaptureSeries> file_;
    const uint64_t irq_us_;
    std::deque<std::vector<uint8_t>> pending_;  // records of the datagram being replayed
    std::vector<uint8_t> held_;                 // a record that did not fit in the block before
    bool started_ = false;
    uint64_t last_stamp_us_ = 0;                // time stamp of the last record delivered
    uint64_t events_ = 0;
    uint64_t malformed_ = 0;
    uint64_t foreign_ = 0;
    bool have_sender_ = false;      // the sender replayed, chosen by the survey at open()
    uint32_t sender_address_ = 0;
    uint16_t sender_port_ = 0;
    uint32_t serial_ = 0;           // its card; 0: unknown, only its first port is replayed
    std::map<uint64_t, uint32_t> serial_of_;  // card named by each address and port
    std::string warning_;
};

}  // namespace sim
