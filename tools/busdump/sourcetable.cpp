#include "tools/busdump/sourcetable.h"

#include <algorithm>

namespace busdump {

namespace {

// Looking for silent streams once a second is enough: a flood of new senders asks every datagram.
constexpr int64_t RETIRE_SCAN_PERIOD_US = 1000000;

// The card a lifesign of this datagram names; 0 when none does.
uint32_t lifesign_serial(const DecodedDatagram& datagram) {
    for (const DecodedRecord& record : datagram.records)
        if (record.kind == RecordKind::lifesign && record.lifesign && record.lifesign->sn != 0)
            return record.lifesign->sn;
    return 0;
}

bool is_kind(const Notice& notice, Notice::Kind kind) { return notice.kind == kind; }

}  // namespace

Source& SourceTable::observe(const std::string& address, uint16_t port, DecodedDatagram& datagram, int64_t at_us,
                             std::vector<Notice>& notices) {
    Entry& entry = entry_for(address, port, datagram, at_us);
    notices = entry.source->observe(datagram, at_us);
    if (!entry.source->tracked()) return *entry.source;
    return settle_serial(entry, datagram, notices);
}

std::vector<const Source*> SourceTable::sources() const {
    std::vector<const Source*> out;
    out.reserve(entries_.size());
    for (const auto& [number, entry] : entries_) out.push_back(entry.source.get());
    return out;
}

const Source* SourceTable::source(unsigned number) const {
    const auto found = entries_.find(number);
    return found == entries_.end() ? nullptr : found->second.source.get();
}

SourceTable::Entry& SourceTable::entry_for(const std::string& address, uint16_t port,
                                           const DecodedDatagram& datagram, int64_t at_us) {
    const std::string endpoint = SenderId::endpoint_key(address, port);
    const auto known = by_endpoint_.find(endpoint);
    if (known != by_endpoint_.end()) {
        wake(*known->second, at_us);
        return *known->second;
    }
    const uint32_t serial = lifesign_serial(datagram);
    const auto gateway = serial ? by_serial_.find(SenderId::serial_key(address, serial)) : by_serial_.end();
    if (gateway != by_serial_.end()) {
        Entry& entry = *gateway->second;
        register_endpoint(entry, endpoint);
        entry.source->moved_to(port);
        wake(entry, at_us);
        return entry;
    }
    return make_entry(address, port, at_us);
}

SourceTable::Entry& SourceTable::make_entry(const std::string& address, uint16_t port, int64_t at_us) {
    if (active_ + 1 >= MAX_SOURCES) retire_silent(at_us);
    if (active_ + 1 >= MAX_SOURCES) return overflow();
    const unsigned number = next_number_++;
    Entry& entry = entries_[number];
    entry.source = std::make_unique<Source>(number, SenderId(address, port));
    // A gateway's new run often sends events before its first lifesign: not new until that says.
    if (gateway_known_at(address)) entry.source->hold_announcement();
    register_endpoint(entry, SenderId::endpoint_key(address, port));
    ++active_;
    return entry;
}

bool SourceTable::gateway_known_at(const std::string& address) const {
    const std::string prefix = SenderId::serial_key(address, 0).substr(0, address.size() + 4);  // "address sn "
    const auto next = by_serial_.lower_bound(prefix);
    return next != by_serial_.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

SourceTable::Entry& SourceTable::overflow() {
    if (!overflow_) {
        const unsigned number = next_number_++;
        overflow_ = &entries_[number];
        overflow_->source = std::make_unique<Source>(number, SenderId(), false, OVERFLOW_NAME);
    }
    return *overflow_;
}

Source& SourceTable::settle_serial(Entry& entry, const DecodedDatagram& datagram, std::vector<Notice>& notices) {
    const Source& source = *entry.source;
    if (!source.serial()) return *entry.source;
    const std::string key = SenderId::serial_key(source.id().address, *source.serial());
    if (entry.serial_key == key) return *entry.source;
    const auto known = by_serial_.find(key);
    if (known != by_serial_.end() && known->second != &entry) {
        // This stream is the latest run of a gateway already heard: its lifesign came after
        // its first datagrams.
        Entry& gateway = *known->second;
        merge_into(gateway, entry, datagram, notices);
        return *gateway.source;
    }
    const auto previous = by_serial_.find(entry.serial_key);
    if (previous != by_serial_.end() && previous->second == &entry) by_serial_.erase(previous);
    by_serial_[key] = &entry;
    entry.serial_key = key;
    return *entry.source;
}

void SourceTable::merge_into(Entry& gateway, Entry& latest, const DecodedDatagram& datagram,
                             std::vector<Notice>& notices) {
    const Notice restart = gateway.source->absorb(*latest.source, datagram.sequence);
    // The card is the gateway's known one; a sender first heard now is no new one.
    notices.erase(std::remove_if(notices.begin(), notices.end(),
                                 [](const Notice& n) {
                                     return is_kind(n, Notice::Kind::card_serial) ||
                                            is_kind(n, Notice::Kind::new_source);
                                 }),
                  notices.end());
    notices.insert(notices.begin(), restart);
    const std::string endpoint = latest.endpoint_key;
    const unsigned number = latest.source->number();
    wake(gateway, gateway.source->last_arrival_us());
    remove(latest);
    // It gives its number back when no sender came after it.
    if (number + 1 == next_number_) --next_number_;
    register_endpoint(gateway, endpoint);
}

void SourceTable::register_endpoint(Entry& entry, const std::string& key) {
    // The port a gateway sent from before its restart is not used by it again.
    const auto previous = by_endpoint_.find(entry.endpoint_key);
    if (previous != by_endpoint_.end() && previous->second == &entry) by_endpoint_.erase(previous);
    by_endpoint_[key] = &entry;
    entry.endpoint_key = key;
}

void SourceTable::wake(Entry& entry, int64_t at_us) {
    if (!entry.retired) return;
    if (active_ + 1 >= MAX_SOURCES) retire_silent(at_us);
    entry.retired = false;
    ++active_;
    retired_.erase(std::find(retired_.begin(), retired_.end(), entry.source->number()));
}

void SourceTable::retire_silent(int64_t at_us) {
    if (at_us < next_retire_scan_us_) return;
    next_retire_scan_us_ = at_us + RETIRE_SCAN_PERIOD_US;
    for (auto& [number, entry] : entries_) {
        if (entry.retired || !entry.source->tracked()) continue;
        if (at_us - entry.source->last_arrival_us() < RETIRE_AFTER_US) continue;
        entry.retired = true;
        --active_;
        retired_.push_back(number);
    }
    while (retired_.size() > MAX_RETIRED) forget_oldest_retired();
}

void SourceTable::forget_oldest_retired() {
    Entry& entry = entries_.at(retired_.front());
    overflow().source->add_counts(entry.source->counts());
    remove(entry);
}

void SourceTable::remove(Entry& entry) {
    const unsigned number = entry.source->number();
    const auto endpoint = by_endpoint_.find(entry.endpoint_key);
    if (endpoint != by_endpoint_.end() && endpoint->second == &entry) by_endpoint_.erase(endpoint);
    const auto serial = by_serial_.find(entry.serial_key);
    if (serial != by_serial_.end() && serial->second == &entry) by_serial_.erase(serial);
    if (entry.retired)
        retired_.erase(std::find(retired_.begin(), retired_.end(), number));
    else
        --active_;
    entries_.erase(number);
}

}  // namespace busdump
