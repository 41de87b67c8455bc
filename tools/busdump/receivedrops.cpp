#include "tools/busdump/receivedrops.h"

#include <algorithm>

namespace busdump {

void ReceiveDrops::observe(uint32_t count) {
    const uint32_t more = count - last_count_;  // modulo 2^32
    known_ = true;
    last_count_ = count;
    total_ += more;
    uncharged_ += more;
}

uint64_t ReceiveDrops::charge(uint64_t lost) {
    const uint64_t charged = std::min(lost, uncharged_);
    uncharged_ -= charged;
    return charged;
}

}  // namespace busdump
