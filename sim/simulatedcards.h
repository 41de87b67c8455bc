// Simulated Linkscope cards made from the LINKSCOPE_SIM environment variable.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"

namespace sim {

struct SimulatedCards {
    std::map<int, std::shared_ptr<platform::Device>> devices;  // by device number
    std::string error;                                          // non-empty when the settings were refused
    std::vector<std::string> warnings;                          // the cards exist, but something is off
};

// Parses `settings` (the value of LINKSCOPE_SIM) and builds one card per device number.
// A bad setting yields no card and an error that names the key. An empty value or "0"
// asks for no card.
SimulatedCards make_simulated_cards(const std::string& settings);

}  // namespace sim
