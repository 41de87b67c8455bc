#include "sim/capturereplay.h"

#include <algorithm>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "common/stream/datagramheader.h"
#include "common/stream/recordwalk.h"

namespace sim {

namespace {

uint64_t stamp_of(const std::vector<uint8_t>& record) {
    return linkscope::load_be64(record.data() + linkscope::EVT_OFF_TIMESTAMP);
}

}  // namespace

bool CaptureReplay::event_records(const std::vector<uint8_t>& datagram, std::deque<std::vector<uint8_t>>& out) {
    DatagramHeader header;
    if (!DatagramHeader::decode(datagram.data(), datagram.size(), header)) return false;
    std::deque<std::vector<uint8_t>> found;
    const bool sound = RecordWalk::walk(datagram.data(), datagram.size(), header.record_count,
                                        [&found](const RecordWalk::Record& record, std::string&) {
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

std::unique_ptr<CaptureReplay> CaptureReplay::open(const std::string& path, uint64_t irq_us, std::string* error) {
    std::unique_ptr<CaptureFile> file = CaptureFile::open(path, error);
    if (!file) return nullptr;
    std::unique_ptr<CaptureReplay> replay(new CaptureReplay(std::move(file), irq_us));
    // One pass to know what the capture holds before a gateway relies on it.
    std::vector<uint8_t> record;
    while (replay->next_record(record)) ++replay->events_;
    if (replay->events_ == 0) {
        *error = "replay: '" + path + "' holds no event record in a datagram of the gateway" +
                 replay->describe_skips();
        return nullptr;
    }
    replay->warning_ = replay->describe_skips();
    if (!replay->warning_.empty()) replay->warning_ = "replay: '" + path + "'" + replay->warning_;
    replay->rewind();
    return replay;
}

std::string CaptureReplay::describe_skips() const {
    std::string text;
    if (malformed_) text += ", " + std::to_string(malformed_) + " malformed datagram(s) left out";
    if (foreign_) text += ", " + std::to_string(foreign_) + " datagram(s) of other senders than " + sender_text() + " left out";
    if (file_->skipped()) text += ", " + std::to_string(file_->skipped()) + " packet(s) that are no whole UDP datagram left out";
    if (file_->damaged()) text += ", the file is cut short or damaged at its end";
    if (!text.empty()) text = " (" + text.substr(2) + ")";
    return text;
}

std::string CaptureReplay::sender_text() const {
    return std::to_string(sender_address_ >> 24) + "." + std::to_string((sender_address_ >> 16) & 0xFF) + "." +
           std::to_string((sender_address_ >> 8) & 0xFF) + "." + std::to_string(sender_address_ & 0xFF) + ":" +
           std::to_string(sender_port_);
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
        const bool from_sender = packet.source_address == sender_address_ && packet.source_port == sender_port_;
        if (have_sender_ && !from_sender) {
            ++foreign_;
            continue;
        }
        if (!event_records(packet.payload, pending_)) {
            ++malformed_;
            continue;
        }
        if (!have_sender_) {
            have_sender_ = true;
            sender_address_ = packet.source_address;
            sender_port_ = packet.source_port;
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
