// The software model of a FIP bus: the frames of every macrocycle with their bus times.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/simsettings.h"

namespace sim {

// One frame on the bus: its bytes (control byte through FCS) live in the model's frame pool.
struct BusFrame {
    uint32_t offset;       // in the pool of the current cycle
    uint16_t length;
    uint64_t start_ns;     // bus time of the frame's start
    uint32_t duration_ns;
    uint32_t silence_ns;   // bus silence since the end of the frame before
    uint64_t end_ns() const { return start_ns + duration_ns; }
};

class BusModel {
public:
    // `seed` already mixes the settings' seed with the card's device number.
    BusModel(const SimSettings& settings, uint64_t seed);

    // Back to cycle 0, starting at bus time `start_ns`.
    void restart(uint64_t start_ns);

    const BusFrame& current() const { return slots_[slot_]; }
    const uint8_t* bytes(const BusFrame& frame) const { return pool_.data() + frame.offset; }
    void advance() {
        if (++slot_ == slots_.size()) next_cycle();
    }
    // Passes over every frame that starts before `t_ns` (whole cycles without building them);
    // returns how many frames were passed.
    uint64_t skip_until(uint64_t t_ns);

    uint64_t cycle() const { return cycle_; }
    uint64_t cycle_start_ns() const { return cycle_start_ns_; }
    // Frames and length of the cycle with aperiodic station index k % stations.
    std::size_t frames_in_cycle(uint64_t k) const;
    uint64_t cycle_length_ns(uint64_t k) const { return variant_length_ns_[variant(k)]; }
    unsigned elementary_scans() const { return scans_; }

    // Identifiers of the model, for tests and tools.
    static constexpr uint16_t SYNC_ID = 0x9080;
    static constexpr uint16_t PRESENT_LIST_ID = 0x9002;
    static constexpr uint16_t BUS_STATUS_ID = 0x9003;
    static constexpr uint16_t IDENTIFICATION_BASE = 0x1000;
    static constexpr uint16_t REPORT_BASE = 0x1100;
    static constexpr uint16_t PRESENCE_BASE = 0x1400;
    static uint16_t periodic_id(unsigned variable, unsigned station) {
        return static_cast<uint16_t>(((PERIODIC_BASE_HIGH + variable) << 8) | station);
    }

private:
    static constexpr unsigned PERIODIC_BASE_HIGH = 0x02;

    struct Variable {
        uint16_t id;
        uint8_t data_length;
    };

    std::size_t variant(uint64_t k) const { return settings_.stations ? k % settings_.stations : 0; }
    bool is_present(unsigned station) const { return station < settings_.present_stations(); }
    bool answers(unsigned station) const { return static_cast<int>(station) != settings_.silent; }
    uint64_t bits_ns(uint64_t bits) const { return bits * 1000000000ull / settings_.bitrate; }

    void next_cycle();
    void build_cycle(uint64_t k, uint64_t start_ns);
    void build_aperiodic_window(uint64_t k);

    // Frame builders: each appends one frame to the pool and its slot, after `silence_bits`.
    void add_frame(const uint8_t* body, std::size_t body_length, uint64_t silence_bits);
    void add_identifier(uint8_t control, uint16_t id);
    void add_variable(const uint8_t* data, uint8_t data_length);
    void add_exchange(uint16_t id, const uint8_t* data, uint8_t data_length);
    void add_no_answer(uint16_t id);
    // An exchange whose response comes from `station`: left unanswered when it is the silent one.
    void add_exchange_of(unsigned station, uint16_t id, const uint8_t* data, uint8_t data_length);
    // The bus time of one exchange of a periodic variable, left silent.
    void add_silent_exchange(uint8_t data_length);
    // Whether the scan `refresh` leaves out the variable `id` (settings' slow_id).
    bool skips(uint16_t id, uint64_t refresh) const;

    SimSettings settings_;
    uint64_t seed_;
    unsigned scans_ = 1;
    std::vector<Variable> periodic_;
    bool slow_id_scanned_ = false;  // settings' slow_id is one of periodic_
    std::vector<std::size_t> variant_frames_;
    std::vector<uint64_t> variant_length_ns_;
    uint64_t period_length_ns_ = 0;   // all variants once
    uint64_t period_frames_ = 0;

    std::vector<uint8_t> pool_;
    std::vector<BusFrame> slots_;
    std::size_t slot_ = 0;
    uint64_t cycle_ = 0;
    uint64_t cycle_start_ns_ = 0;
    uint64_t cursor_ns_ = 0;           // end of the last frame built
    uint64_t pending_silence_bits_ = 0;
};

}  // namespace sim
