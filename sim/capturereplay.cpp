#include "sim/capturereplay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "common/stream/datagramheader.h"
#include "common/stream/lifesignrecord.h"
#include "common/stream/recordwalk.h"

namespace sim {

namespace {

// Beyond this many senders in one capture, the cards of further ones are not kept.
constexpr std::size_t MAX_SENDERS_SURVEYED = 65536;
// An error names at most this many of them.
constexpr std::size_t MAX_SENDERS_LISTED = 16;

uint64_t stamp_of(const std::vector<uint8_t>& record) {
    return linkscope::load_be64(record.data() + linkscope::EVT_OFF_TIMESTAMP);
}

uint64_t endpoint_key(uint32_t address, uint16_t port) { return (uint64_t{address} << 16) | port; }

std::string address_text(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string serial_text(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(serial));
    return text;
}

}  // namespace

bool CaptureReplay::event_records(const std::vector<uint8_t>& datagram, std::deque<std::vector<uint8_t>>& out,
                                  uint32_t* serial) {
    DatagramHeader header;
    if (!DatagramHeader::decode(datagram.data(), datagram.size(), header)) return false;
    std::deque<std::vector<uint8_t>> found;
    const bool sound = RecordWalk::walk(datagram.data(), datagram.size(), header.record_count,
                                        [&found, serial](const RecordWalk::Record& record, std::string&) {
                                            if (serial && record.type == lifesign::RECORD_TYPE &&
                                                record.length == lifesign::RECORD_SIZE)
                                                *serial = linkscope::load_be32(record.bytes + lifesign::OFF_SN);
                                            if (record.type != linkscope::EVT_MARKER) return true;
                                            // A record too short for its header, or too long for a
                                            // block, no card delivers.
                                            if (record.length < linkscope::EVT_HEADER_SIZE ||
                                                record.length > linkscope::EVENT_AREA_SIZE)
                                                return false;
                                            found.emplace_back(record.bytes, record.bytes + record.length);
                                            return true;
                                        });
    if (!sound) return false;
    for (auto& event : found) out.push_back(std::move(event));
    return true;
}

std::unique_ptr<CaptureReplay> CaptureReplay::open(const std::string& path, uint64_t irq_us, std::string* error,
                                                   uint32_t serial) {
    Choice choice;
    choice.serial = serial;
    return open({path}, "'" + path + "'", irq_us, error, choice);
}

std::unique_ptr<CaptureReplay> CaptureReplay::open(const std::vector<std::string>& paths, const std::string& what,
                                                   uint64_t irq_us, std::string* error, const Choice& choice) {
    std::unique_ptr<CaptureSeries> file = CaptureSeries::open(paths, error);
    if (!file) return nullptr;
    std::unique_ptr<CaptureReplay> replay(new CaptureReplay(std::move(file), irq_us));
    if (!replay->survey(choice, error)) {
        *error = "replay: " + what + *error;
        return nullptr;
    }
    // One pass to know what the capture holds before a gateway relies on it.
    std::vector<uint8_t> record;
    while (replay->next_record(record)) ++replay->events_;
    if (replay->events_ == 0) {
        *error = "replay: " + what + " holds no event record in a datagram of the gateway" +
                 replay->describe_skips();
        return nullptr;
    }
    replay->warning_ = replay->describe_skips();
    if (!replay->warning_.empty()) replay->warning_ = "replay: " + what + replay->warning_;
    replay->rewind();
    return replay;
}

std::string CaptureReplay::describe_skips() const {
    std::string text;
    if (malformed_) text += ", " + std::to_string(malformed_) + " malformed datagram(s) left out";
    if (foreign_)
        text += ", " + std::to_string(foreign_) + " datagram(s) of other senders than " + sender_text() +
                " left out (replay_serial= or replay_address= picks another)";
    if (file_->skipped()) text += ", " + std::to_string(file_->skipped()) + " packet(s) that are no whole UDP datagram left out";
    if (file_->unknown_link_type())
        text += ", packets of link type " + std::to_string(file_->unknown_link_type()) +
                " left out (Ethernet, Linux cooked or raw IPv4 are replayed)";
    if (file_->damaged()) text += ", " + file_->problem();
    if (!text.empty()) text = " (" + text.substr(2) + ")";
    return text;
}

std::string CaptureReplay::sender_text() const {
    if (serial_) return address_text(sender_address_) + " sn " + serial_text(serial_);
    return address_text(sender_address_) + ":" + std::to_string(sender_port_);
}

bool CaptureReplay::at_address(const Choice& choice, const CaptureFile::Packet& packet) {
    return !choice.by_address ||
           (packet.source_address == choice.address && (choice.port == 0 || packet.source_port == choice.port));
}

bool CaptureReplay::survey(const Choice& choice, std::string* error) {
    const uint32_t serial = choice.serial;
    CaptureFile::Packet packet;
    std::deque<std::vector<uint8_t>> events;
    std::map<uint32_t, bool> cards;  // every card named, for the error below
    std::map<uint64_t, bool> senders;  // every sender, for the error below
    while (file_->next(packet)) {
        uint32_t named = 0;
        events.clear();
        if (!event_records(packet.payload, events, &named)) continue;
        if (senders.size() < MAX_SENDERS_SURVEYED) senders[endpoint_key(packet.source_address, packet.source_port)] = true;
        if (!at_address(choice, packet)) {
            if (named && serial_of_.size() < MAX_SENDERS_SURVEYED)
                serial_of_.emplace(endpoint_key(packet.source_address, packet.source_port), named);
            continue;
        }
        if (!have_sender_ && serial == 0) {
            have_sender_ = true;
            sender_address_ = packet.source_address;
            sender_port_ = packet.source_port;
        }
        if (named == 0) continue;  // 0: the gateway had not read its card yet
        cards[named] = true;
        const uint64_t key = endpoint_key(packet.source_address, packet.source_port);
        if (serial_of_.size() < MAX_SENDERS_SURVEYED) serial_of_.emplace(key, named);
        if (!have_sender_ && named == serial) {
            have_sender_ = true;
            sender_address_ = packet.source_address;
            sender_port_ = packet.source_port;
        }
    }
    if (choice.by_address && !have_sender_) {
        *error = " holds no gateway at " + address_text(choice.address) +
                 (choice.port ? ":" + std::to_string(choice.port) : std::string()) +
                 (serial ? " of card sn " + serial_text(serial) : std::string()) + " (";
        if (senders.empty()) *error += "no sender sent an event record";
        std::size_t listed = 0;
        for (auto it = senders.begin(); it != senders.end() && listed < MAX_SENDERS_LISTED; ++it, ++listed)
            *error += (it == senders.begin() ? "senders: " : ", ") + address_text(static_cast<uint32_t>(it->first >> 16)) +
                      ":" + std::to_string(it->first & 0xFFFF);
        if (senders.size() > MAX_SENDERS_LISTED) *error += ", ...";
        *error += ")";
        return false;
    }
    if (serial != 0 && !have_sender_) {
        *error = " holds no gateway of card sn " + serial_text(serial) + " (";
        if (cards.empty()) *error += "no lifesign names a card";
        for (auto it = cards.begin(); it != cards.end(); ++it)
            *error += (it == cards.begin() ? "cards named: sn " : ", sn ") + serial_text(it->first);
        *error += ")";
        return false;
    }
    if (have_sender_) {
        const auto first = serial_of_.find(endpoint_key(sender_address_, sender_port_));
        serial_ = serial != 0 ? serial : first != serial_of_.end() ? first->second : 0;
    }
    file_->rewind();
    return true;
}

bool CaptureReplay::from_gateway(const CaptureFile::Packet& packet) const {
    if (serial_ == 0) return packet.source_address == sender_address_ && packet.source_port == sender_port_;
    if (packet.source_address != sender_address_) return false;
    const auto named = serial_of_.find(endpoint_key(packet.source_address, packet.source_port));
    return named != serial_of_.end() && named->second == serial_;
}

void CaptureReplay::rewind() {
    file_->rewind();
    pending_.clear();
    held_.clear();
    started_ = false;
    last_stamp_us_ = 0;
    malformed_ = 0;
    foreign_ = 0;  // the sender chosen stays: a rewind replays the same stream
}

bool CaptureReplay::next_record(std::vector<uint8_t>& record) {
    if (!held_.empty()) {
        record.swap(held_);
        held_.clear();
        return true;
    }
    CaptureFile::Packet packet;
    while (pending_.empty()) {
        if (!file_->next(packet)) return false;
        if (!event_records(packet.payload, pending_)) {
            ++malformed_;
            continue;
        }
        if (!from_gateway(packet)) {
            pending_.clear();
            ++foreign_;
        }
    }
    record = std::move(pending_.front());
    pending_.pop_front();
    return true;
}

bool CaptureReplay::next_block(uint8_t* out, uint64_t* pause_us) {
    std::vector<uint8_t> record;
    if (!next_record(record)) return false;
    std::memset(out, 0, linkscope::EVENT_BLOCK_SIZE);
    linkscope::store_le32(out, linkscope::BLOCK_FLAG_EVENTS_A);
    const uint64_t first_stamp = stamp_of(record);
    if (!started_) {
        started_ = true;
        last_stamp_us_ = first_stamp;
    }
    std::size_t used = 0;
    uint64_t last_stamp = first_stamp;
    for (;;) {
        std::memcpy(out + linkscope::EVENT_AREA_OFFSET + used, record.data(), record.size());
        used += record.size();
        last_stamp = stamp_of(record);
        if (!next_record(record)) break;
        const uint64_t stamp = stamp_of(record);
        // The card raises its interrupt irq_us after the block's first event, or when full.
        const bool later_block = stamp < first_stamp || stamp - first_stamp >= irq_us_;
        if (later_block || used + record.size() > linkscope::EVENT_AREA_SIZE) {
            held_.swap(record);
            break;
        }
    }
    // Time stamps that go back (a gateway restart in the capture) give no pause.
    const uint64_t pause = last_stamp > last_stamp_us_ ? last_stamp - last_stamp_us_ : 0;
    if (pause_us) *pause_us = std::min(pause, MAX_PAUSE_US);
    last_stamp_us_ = last_stamp;
    return true;
}

}  // namespace sim
