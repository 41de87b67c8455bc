#include "sim/faultinjector.h"

#include "common/driver/controlbyte.h"
#include "common/driver/protocol.h"

namespace sim {

namespace {
enum Kind { FCS, LOSS, STATUS, UNKNOWN };
constexpr uint16_t RX_ERROR_BITS[] = {linkscope::STATUS_BIT0, linkscope::STATUS_BIT1, linkscope::STATUS_BIT2,
                                      linkscope::STATUS_BIT3};
}  // namespace

FaultInjector::FaultInjector(const SimSettings& settings, uint64_t seed)
    : rate_{settings.fcs_err, settings.loss, settings.status_err, settings.unknown}, seed_(seed), random_(seed) {
    for (double rate : rate_) enabled_ = enabled_ || rate > 0;
    restart();
}

void FaultInjector::restart() {
    random_ = SimRandom(seed_);
    for (int k = 0; k < KINDS; ++k) countdown_[k] = rate_[k] > 0 ? random_.frames_until_hit(rate_[k]) : 0;
}

bool FaultInjector::hit(int kind) {
    if (rate_[kind] <= 0) return false;
    if (countdown_[kind] > 0) {
        --countdown_[kind];
        return false;
    }
    countdown_[kind] = random_.frames_until_hit(rate_[kind]);
    return true;
}

FaultHits FaultInjector::next() {
    FaultHits hits;
    hits.fcs = hit(FCS);
    hits.loss = hit(LOSS);
    hits.status = hit(STATUS);
    hits.unknown = hit(UNKNOWN);
    return hits;
}

uint16_t FaultInjector::status_bit() { return RX_ERROR_BITS[random_.next() % 4]; }

uint8_t FaultInjector::unknown_control() {
    for (;;) {
        const auto control = static_cast<uint8_t>(random_.next());
        if (!linkscope::ControlByte::is_known(control)) return control;
    }
}

}  // namespace sim
