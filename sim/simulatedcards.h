// Simulated Linkscope cards made from the LINKSCOPE_SIM environment variable.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"

namespace sim {

using SimulatedCards = platform::SimulatedCards;

// Parses `settings` (the value of LINKSCOPE_SIM) and builds one card per device number.
// A bad setting yields no card and an error that names the key. An empty value or "0"
// asks for no card.
SimulatedCards make_simulated_cards(const std::string& settings);

// Offers these cards to the device layer (platform::set_simulated_card_maker): called at
// start-up by the programs and tests that serve simulated cards.
void offer_simulated_cards();

}  // namespace sim
