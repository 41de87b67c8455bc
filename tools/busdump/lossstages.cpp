#include "tools/busdump/lossstages.h"

namespace busdump {

LossStages LossStages::of(const StatsMeter::Counts& counts) {
    LossStages stages;
    stages.card = counts.frames_lost;
    stages.network = counts.datagrams_lost;
    stages.malformed = counts.malformed;
    return stages;
}

}  // namespace busdump
