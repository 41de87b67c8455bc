// Small deterministic random source of the simulated bus: the same seed gives the same traffic.
#pragma once

#include <cmath>
#include <cstdint>

namespace sim {

class SimRandom {
public:
    explicit SimRandom(uint64_t seed = 1) : state_(seed) {}

    // splitmix64: one step of the generator.
    uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return mix(state_);
    }

    // A uniform value in (0, 1].
    double uniform() { return static_cast<double>((next() >> 11) + 1) * (1.0 / 9007199254740992.0); }

    // Frames to pass before the next hit of an event of per-frame probability p (0 < p <= 1):
    // a geometric draw, so that the hot path only counts down.
    uint64_t frames_until_hit(double p) {
        if (p >= 1.0) return 0;
        const double draw = std::floor(std::log(uniform()) / std::log1p(-p));
        return draw >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(draw);
    }

    // Stateless hash of a few words: data that depends only on its coordinates (seed, cycle, ...).
    static uint64_t hash(uint64_t a, uint64_t b, uint64_t c = 0) {
        return mix(mix(a ^ 0xD1B54A32D192ED03ull) ^ (b * 0x9E3779B97F4A7C15ull) ^ mix(c + 0x632BE59BD9B4E019ull));
    }

private:
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t state_;
};

}  // namespace sim
