// Where the frames and datagrams of one sender were lost, each loss charged to one stage of the
// path from the bus to this receiver, and to one only:
// - the gateway's own stages (card, queue, send) come from its loss records when it sends them;
//   without them, frames missing between two events that no lost datagram separates are the
//   card's (a full gateway queue then shows there too), and nothing is charged to the gateway;
// - a datagram missing from the sequence is the gateway's when its send failed, this host's when
//   its socket dropped it, a malformed one's when a datagram with an unreadable header took its
//   place, and the network's otherwise;
// - the frames inside lost or malformed datagrams are not charged again as frames.
#pragma once

#include <cstdint>

#include "tools/busdump/statsmeter.h"

namespace busdump {

struct LossStages {
    uint64_t card = 0;           // frames the card lost: gaps in its event indices
    uint64_t gateway_queue = 0;  // records the gateway's queue refused
    uint64_t gateway_send = 0;   // records in datagrams the gateway could not send
    uint64_t network = 0;        // datagrams missing from the sequence at this receiver
    uint64_t receiver = 0;       // datagrams this receiver's socket dropped
    uint64_t malformed = 0;      // datagrams that arrived but could not be decoded

    // The stages of a sender's counts.
    static LossStages of(const StatsMeter::Counts& counts);

    // Every stage with its name, in path order, for views that list them all.
    template <class Visit>
    void for_each(Visit&& visit) const {
        visit("card", card);
        visit("gateway_queue", gateway_queue);
        visit("gateway_send", gateway_send);
        visit("network", network);
        visit("receiver", receiver);
        visit("malformed", malformed);
    }
};

}  // namespace busdump
