// The settings of the simulated cards, parsed from LINKSCOPE_SIM ("key=value,key=value").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class SimSpeed { real, max };

struct SimSettings {
    std::vector<int> devices{1};  // device numbers of the cards
    unsigned stations = 16;       // addresses 0..stations-1
    unsigned absent = 2;          // the highest addresses never answer
    uint64_t cycle_us = 20000;
    uint64_t bitrate = 2500000;
    uint8_t fcs_mode = 2;
    uint8_t period_code = 3;
    uint64_t irq_us = 5000;
    SimSpeed speed = SimSpeed::real;
    double fcs_err = 0;
    double loss = 0;
    double status_err = 0;
    double unknown = 0;
    uint64_t seed = 1;
    bool unplug = false;
    uint64_t unplug_ms = 0;
    // A file of event blocks or a capture; or a folder of captures, or captures joined by '+'
    // (see replay_files()); empty: the bus model.
    std::string replay;
    uint32_t replay_serial = 0;  // the gateway of a capture to replay, by its card; 0: the first
    // Or by its address (and port, 0: any), the first sender there.
    bool replay_by_address = false;
    uint32_t replay_address = 0;  // IPv4, host order
    uint16_t replay_port = 0;
    // A station of the bus configuration that stopped answering: the arbiter still asks for its
    // variables, presence and identification, and nothing answers; -1: none.
    int silent = -1;
    uint16_t slow_id = 0;  // a periodic variable scanned every other time, its period doubled; 0: none

    unsigned present_stations() const { return stations - absent; }

    // Parses the value of LINKSCOPE_SIM. On a bad setting returns false and sets `error` to one
    // line that names the key ("stations: bad value 'x' (expected an integer from 0 to 256)").
    // "1" stands for all defaults and may also appear among other settings.
    static bool parse(const std::string& text, SimSettings* settings, std::string* error);
};

}  // namespace sim
