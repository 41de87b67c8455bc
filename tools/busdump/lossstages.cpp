#include "tools/busdump/lossstages.h"

namespace busdump {

LossStages LossStages::of(const StatsMeter::Counts& counts) {
    LossStages stages;
    stages.card = counts.loss_records ? counts.card_lost_frames : counts.frames_lost_upstream;
    stages.gateway_queue = counts.queue_refused;
    stages.gateway_send = counts.send_failed_records;
    stages.receiver = counts.receiver_dropped;
    stages.malformed = counts.malformed;
    // The loss records come after the gaps they explain: until then a gap is the network's.
    const uint64_t explained = counts.send_failed_datagrams + counts.receiver_dropped + counts.malformed_unsequenced;
    stages.network = counts.datagrams_lost > explained ? counts.datagrams_lost - explained : 0;
    return stages;
}

}  // namespace busdump
