#include "tools/busdump/pcapnginterfaces.h"

namespace busdump {

namespace {

// No sender has this key (address and port take 48 bits): the interface shared by the senders
// beyond MAX_INTERFACES.
constexpr uint64_t OVERFLOW_KEY = uint64_t{1} << 48;
constexpr const char* APPLICATION = "busdump (busgate)";

uint64_t endpoint_key(const PcapWriter::Endpoint& endpoint) {
    return (uint64_t{endpoint.address} << 16) | endpoint.port;
}

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

uint64_t PcapngInterfaces::key_of(const PcapWriter::Endpoint& source) const {
    const uint64_t key = endpoint_key(source);
    if (known_.count(key) || pending_.count(key)) return key;
    return known_.size() + pending_.size() < MAX_INTERFACES ? key : OVERFLOW_KEY;
}

int64_t PcapngInterfaces::packet_time(std::optional<uint64_t>& last_card_time_us, const Datagram& datagram) {
    if (datagram.card_time_us) last_card_time_us = datagram.card_time_us;
    if (last_card_time_us) return static_cast<int64_t>(*last_card_time_us);
    return datagram.arrival_us;
}

PcapngInterfaces::Known& PcapngInterfaces::describe(uint64_t key, const PcapngWriter::Interface& interface,
                                                    std::vector<uint8_t>& out) {
    Known& known = known_[key];
    known.id = static_cast<uint32_t>(interfaces_.size());
    interfaces_.push_back(interface);
    append(out, PcapngWriter::interface_description(interface));
    return known;
}

void PcapngInterfaces::release(std::map<uint64_t, Pending>::iterator pending, std::vector<uint8_t>& out) {
    Known& known = describe(pending->first, pending->second.interface, out);
    known.last_card_time_us = pending->second.last_card_time_us;
    for (const Packet& packet : pending->second.packets) {
        append(out, PcapngWriter::enhanced_packet(known.id, packet.time_us, packet.frame, packet.comment));
        held_bytes_ -= packet.frame.size();
    }
    pending_.erase(pending);
}

void PcapngInterfaces::release_expired(int64_t now_us, std::vector<uint8_t>& out) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        const auto current = it++;
        if (held_bytes_ > HOLD_BYTES || now_us - current->second.first_arrival_us >= HOLD_US) release(current, out);
    }
}

std::vector<uint8_t> PcapngInterfaces::add(const Datagram& datagram) {
    std::vector<uint8_t> out;
    const uint64_t key = key_of(datagram.source);
    const bool shared = key == OVERFLOW_KEY;
    std::vector<uint8_t> frame =
        PcapWriter::frame(datagram.source, datagram.destination, datagram.payload, datagram.size, ++next_ip_id_);
    auto known = known_.find(key);
    if (known == known_.end()) {
        PcapngWriter::Interface interface;
        if (!shared) {
            interface.source = datagram.source;
            interface.serial = datagram.serial;
        }
        interface.destination = datagram.destination;
        auto pending = pending_.find(key);
        if (pending == pending_.end()) {
            pending = pending_.emplace(key, Pending{interface, datagram.arrival_us, std::nullopt, {}}).first;
        } else if (datagram.serial) {
            pending->second.interface.serial = datagram.serial;
        }
        Pending& held = pending->second;
        const int64_t time_us = packet_time(held.last_card_time_us, datagram);
        held_bytes_ += frame.size();
        held.packets.push_back(Packet{time_us, std::move(frame), datagram.comment});
        if (shared || datagram.serial) release(pending, out);
        release_expired(datagram.arrival_us, out);
        return out;
    }
    release_expired(datagram.arrival_us, out);
    const int64_t time_us = packet_time(known->second.last_card_time_us, datagram);
    append(out, PcapngWriter::enhanced_packet(known->second.id, time_us, frame, datagram.comment));
    return out;
}

std::vector<uint8_t> PcapngInterfaces::release_all() {
    std::vector<uint8_t> out;
    while (!pending_.empty()) release(pending_.begin(), out);
    return out;
}

std::size_t PcapngInterfaces::held_datagrams() const {
    std::size_t held = 0;
    for (const auto& pending : pending_) held += pending.second.packets.size();
    return held;
}

void PcapngInterfaces::discard_held() {
    pending_.clear();
    held_bytes_ = 0;
}

std::vector<uint8_t> PcapngInterfaces::file_start() const {
    std::vector<uint8_t> out = PcapngWriter::section_header(APPLICATION);
    for (const PcapngWriter::Interface& interface : interfaces_) append(out, PcapngWriter::interface_description(interface));
    return out;
}

std::string PcapngInterfaces::comment_for(const std::vector<Notice>& notices) {
    std::string text;
    const auto add = [&text](const std::string& line) { text += (text.empty() ? "" : "\n") + line; };
    for (const Notice& notice : notices) {
        switch (notice.kind) {
            case Notice::Kind::sequence_gap:
                add("loss, network: " + std::to_string(notice.lost) + " datagram(s) missing before this one (sequence " +
                    std::to_string(notice.from) + " then " + std::to_string(notice.to) + ")");
                break;
            case Notice::Kind::index_gap:
                add("loss, card: " + std::to_string(notice.lost) + " frame(s) missing before an event of this datagram (event index " +
                    std::to_string(notice.from) + " then " + std::to_string(notice.to) + ")");
                break;
            case Notice::Kind::restart: add("the gateway restarted: a new run begins here"); break;
            case Notice::Kind::sequence_back:
            case Notice::Kind::sequence_jump:
                add("sequence " + std::to_string(notice.from) + " then " + std::to_string(notice.to) +
                    ": a new run whose first datagrams were lost, or datagrams out of order");
                break;
            case Notice::Kind::index_back:
                add("event index " + std::to_string(notice.from) + " then " + std::to_string(notice.to) +
                    ": the card was reset");
                break;
            case Notice::Kind::malformed: add("loss, malformed: " + notice.text); break;
            case Notice::Kind::card_serial:
                if (notice.had_from)
                    add("the card changed: sn " + PcapngWriter::serial_text(static_cast<uint32_t>(notice.from)) +
                        " then sn " + PcapngWriter::serial_text(static_cast<uint32_t>(notice.to)));
                break;
            case Notice::Kind::card_loss:
                add("loss, card: " + std::to_string(notice.lost) + " frame(s) the card lost (gateway's count " +
                    std::to_string(notice.from) + " then " + std::to_string(notice.to) + ")");
                break;
            case Notice::Kind::queue_refused:
                add("loss, gateway_queue: " + std::to_string(notice.lost) + " record(s) the gateway's queue refused");
                break;
            case Notice::Kind::send_failed:
                add("loss, gateway_send: " + std::to_string(notice.lost) + " record(s) in " +
                    std::to_string(notice.datagrams) + " datagram(s) the gateway could not send");
                break;
            case Notice::Kind::receiver_drop:
                add("loss, receiver: " + std::to_string(notice.lost) + " datagram(s) this receiver's socket dropped");
                break;
            case Notice::Kind::new_source: break;
        }
    }
    return text;
}

}  // namespace busdump
