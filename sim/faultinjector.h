// Decides, frame by frame, which faults the simulated card injects, at their per-frame rates.
#pragma once

#include <cstdint>

#include "sim/simrandom.h"
#include "sim/simsettings.h"

namespace sim {

struct FaultHits {
    bool fcs = false;      // wrong frame check
    bool loss = false;     // the frame is lost: its index is skipped
    bool status = false;   // a reception error flag in evt_status
    bool unknown = false;  // an unknown control byte
};

class FaultInjector {
public:
    FaultInjector(const SimSettings& settings, uint64_t seed);

    // Starts the fault sequence again from the seed.
    void restart();
    // False when every rate is 0: the card then skips the per-frame draw.
    bool enabled() const { return enabled_; }
    FaultHits next();

    // Details of a hit, drawn from the same sequence.
    uint16_t status_bit();       // one of evt_status bits 0 to 3
    uint8_t unknown_control();   // a control byte that is none of the 20 known ones

private:
    static constexpr int KINDS = 4;
    bool hit(int kind);

    double rate_[KINDS];
    uint64_t countdown_[KINDS] = {};
    uint64_t seed_;
    SimRandom random_;
    bool enabled_ = false;
};

}  // namespace sim
