// The senders busdump has heard, in the order they were first heard. A sender is found by the
// address and port of its datagram, or else by the card that its datagram's lifesign names: a
// gateway that restarted sends from a new port, and stays the sender it was (one restart).
// Untrusted senders could make any number of entries: at most MAX_SOURCES streams are followed
// at once. When the table is full, streams silent for RETIRE_AFTER_US are retired (their totals
// kept for the end; their gateway is still known when it comes back); only while none can be
// retired, every further sender shares one untracked entry, "other senders".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/busdump/source.h"

namespace busdump {

class SourceTable {
public:
    // Followed at once, the shared entry included: room for 256 full buses into one busdump.
    static constexpr std::size_t MAX_SOURCES = 512;
    static constexpr int64_t RETIRE_AFTER_US = 10000000;  // a gateway sends a lifesign every 500 ms
    // Retired entries kept on their own; older ones add their totals to the shared entry.
    static constexpr std::size_t MAX_RETIRED = 4096;
    static constexpr const char* OVERFLOW_NAME = "other senders";

    // Everything a datagram from address:port tells: the notices (as Source::observe gives them,
    // a gateway's new run told by one restart) and the entry it counts in.
    Source& observe(const std::string& address, uint16_t port, DecodedDatagram& datagram, int64_t at_us,
                    std::vector<Notice>& notices);

    // Every entry, retired ones included, by number.
    std::vector<const Source*> sources() const;
    // The entry numbered `number`, or null when there is none (any more).
    const Source* source(unsigned number) const;
    // Streams followed now (retired ones and the shared entry aside).
    std::size_t active() const { return active_; }

private:
    struct Entry {
        std::unique_ptr<Source> source;
        bool retired = false;
        std::string endpoint_key;  // the keys it is found by, as registered below
        std::string serial_key;
    };

    Entry& entry_for(const std::string& address, uint16_t port, const DecodedDatagram& datagram, int64_t at_us);
    Entry& make_entry(const std::string& address, uint16_t port, int64_t at_us);
    Entry& overflow();
    bool gateway_known_at(const std::string& address) const;
    Source& settle_serial(Entry& entry, const DecodedDatagram& datagram, std::vector<Notice>& notices);
    void merge_into(Entry& gateway, Entry& latest, const DecodedDatagram& datagram, std::vector<Notice>& notices);
    void register_endpoint(Entry& entry, const std::string& key);
    void wake(Entry& entry, int64_t at_us);
    void retire_silent(int64_t at_us);
    void forget_oldest_retired();
    void remove(Entry& entry);

    std::map<unsigned, Entry> entries_;
    std::map<std::string, Entry*> by_endpoint_;
    std::map<std::string, Entry*> by_serial_;
    std::deque<unsigned> retired_;  // numbers, oldest first
    Entry* overflow_ = nullptr;
    std::size_t active_ = 0;
    unsigned next_number_ = 1;
    int64_t next_retire_scan_us_ = 0;
};

}  // namespace busdump
