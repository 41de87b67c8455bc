// One sender heard by busdump, followed as a stream of its own: its sequence numbers and event
// indices, the card serial number its lifesigns carry, its counts, and the ID frame that a
// response of its stream answers. Pure: no clock, no socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/notice.h"
#include "tools/busdump/statsmeter.h"
#include "tools/busdump/streamtracker.h"

namespace busdump {

class Source {
public:
    // `number` counts the senders from 1 in the order they were first heard. An untracked
    // source gathers senders beyond the table's limit: their streams are mixed, so neither
    // sequence nor indices are followed and no response is matched to an ID frame.
    Source(unsigned number, std::string address, bool tracked = true);

    // Notices revealed by this datagram, in stream order (the first one of a source announces
    // it); sets each response's `response_to`; adds the datagram to the counts.
    std::vector<Notice> observe(DecodedDatagram& datagram, int64_t at_us);

    unsigned number() const { return number_; }
    const std::string& address() const { return address_; }
    bool tracked() const { return tracked_; }
    const std::optional<uint32_t>& serial() const { return serial_; }
    const StatsMeter::Counts& counts() const { return counts_; }
    int64_t first_arrival_us() const { return first_arrival_us_; }
    int64_t last_arrival_us() const { return last_arrival_us_; }

private:
    void observe_serial(const DecodedDatagram& datagram, std::vector<Notice>& out);
    void match_responses(DecodedDatagram& datagram);

    const unsigned number_;
    const std::string address_;
    const bool tracked_;
    StreamTracker tracker_;
    StatsMeter::Counts counts_;
    std::optional<uint32_t> serial_;
    int64_t first_arrival_us_ = 0;
    int64_t last_arrival_us_ = 0;
    bool heard_ = false;

    // The event just before, for the response that follows an ID frame.
    std::optional<uint16_t> last_identifier_;
    uint64_t last_index_ = 0;
};

}  // namespace busdump
