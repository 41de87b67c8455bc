// Something about the stream that is not a record: a loss, a restart, a malformed datagram.
#pragma once

#include <cstdint>
#include <string>

namespace busdump {

struct Notice {
    enum class Kind {
        sequence_gap,   // datagrams missing between from and to
        restart,        // a new gateway run: sequence back to 1, or the gateway sends from a new port
        sequence_back,  // sequence went back, not to 1: a restart with its first datagrams lost, or reordering
        sequence_jump,  // sequence leapt further ahead than any loss could: a new run or a forged number
        index_gap,      // event indices missing between from and to
        index_back,     // event index went back, repeated or leapt beyond any loss: the card was reset
        malformed,      // a datagram that could not be decoded; text says why
        new_source,     // the first datagram of a sender not heard before
        card_serial,    // a lifesign names the sender's card: serial `to` (`from` the one before, if any)
        // The gateway's loss records: its count went from `from` to `to`, `lost` more.
        card_loss,      // frames missing from the card's indices, as the gateway counted them
        queue_refused,  // records the gateway's queue refused
        send_failed,    // records in datagrams whose send failed (`datagrams` of them)
        receiver_drop,  // `lost` datagrams of this sender that this host's socket dropped
    };

    Kind kind = Kind::malformed;
    uint64_t sequence = 0;  // of the datagram in which it was seen
    uint64_t from = 0;      // last value before the change
    uint64_t to = 0;        // value that revealed it
    uint64_t lost = 0;      // datagrams or frames missing (gaps only)
    bool had_from = false;  // card_serial: whether `from` holds an earlier serial number
    // index_gap: datagrams were lost (or arrived malformed) between the two events, so the gap
    // holds their frames and is no loss of its own
    bool behind_lost_datagrams = false;
    uint64_t datagrams = 0;  // send_failed: the datagrams that held the records
    uint16_t port = 0;      // restarts: the new port the gateway sends from; 0 when it did not change
    std::string text;       // malformed: what is wrong
};

const char* notice_kind_name(Notice::Kind kind);

}  // namespace busdump
