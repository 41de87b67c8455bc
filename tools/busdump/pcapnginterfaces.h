// The senders of a pcapng capture as its interfaces: one interface per sender address and port,
// described when its first datagram is written, and the blocks each datagram becomes.
// An interface names the sender's card, which only its lifesigns tell (a gateway's first
// lifesign may come before it read its card): the datagrams of a sender whose card is not known
// yet are held, until a lifesign names it, HOLD_US after its first datagram, or while all held
// datagrams stay within HOLD_BYTES; then the interface is described ("sn unknown" if still so)
// and the held datagrams follow in their order. A datagram's packet time is the card's time
// stamp of its first event record; a datagram without one (lifesigns only) takes its sender's
// latest card time, or its arrival time before any event came. The records keep their own stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/stream/pcapngwriter.h"
#include "tools/busdump/notice.h"

namespace busdump {

class PcapngInterfaces {
public:
    static constexpr int64_t HOLD_US = 2000000;             // a gateway names its card within about a second
    static constexpr std::size_t HOLD_BYTES = 8u << 20;     // held datagrams of all senders together
    static constexpr std::size_t MAX_INTERFACES = 65536;    // beyond: one shared interface, "other senders"

    struct Datagram {
        PcapWriter::Endpoint source;
        PcapWriter::Endpoint destination;
        std::optional<uint32_t> serial;        // the sender's card, once a lifesign named it
        std::optional<uint64_t> card_time_us;  // time stamp of its first event record
        int64_t arrival_us = 0;
        std::string comment;                   // losses found before it, see comment_for()
        const uint8_t* payload = nullptr;
        std::size_t size = 0;
    };

    // The bytes to append for this datagram: nothing while its sender is held; otherwise its
    // interface's description when new, the datagrams held before it and its own packet, and
    // those of other senders whose hold ran out.
    std::vector<uint8_t> add(const Datagram& datagram);
    // Every datagram still held, at the end of a capture.
    std::vector<uint8_t> release_all();
    // The datagrams held now, and dropping them where the file can no longer take them.
    std::size_t held_datagrams() const;
    void discard_held();
    // What a new file starts with: the section header and the description of every interface
    // so far, in id order, so that a later file of the same capture keeps the ids.
    std::vector<uint8_t> file_start() const;
    std::size_t interfaces() const { return interfaces_.size(); }

    // The comment of the packet after which these notices came: the losses by the stage that
    // lost them ("network": datagrams missing from the sequence, "card": frames missing from the
    // event indices), restarts and card resets. Empty when none.
    static std::string comment_for(const std::vector<Notice>& notices);

private:
    struct Packet {
        int64_t time_us;
        std::vector<uint8_t> frame;
        std::string comment;
    };
    struct Pending {
        PcapngWriter::Interface interface;
        int64_t first_arrival_us = 0;
        std::optional<uint64_t> last_card_time_us;
        std::vector<Packet> packets;
    };
    struct Known {
        uint32_t id = 0;
        std::optional<uint64_t> last_card_time_us;
    };

    static int64_t packet_time(std::optional<uint64_t>& last_card_time_us, const Datagram& datagram);
    uint64_t key_of(const PcapWriter::Endpoint& source) const;
    Known& describe(uint64_t key, const PcapngWriter::Interface& interface, std::vector<uint8_t>& out);
    void release(std::map<uint64_t, Pending>::iterator pending, std::vector<uint8_t>& out);
    void release_expired(int64_t now_us, std::vector<uint8_t>& out);

    std::vector<PcapngWriter::Interface> interfaces_;
    std::map<uint64_t, Known> known_;  // by endpoint key
    std::map<uint64_t, Pending> pending_;
    std::size_t held_bytes_ = 0;
    uint16_t next_ip_id_ = 0;
};

}  // namespace busdump
