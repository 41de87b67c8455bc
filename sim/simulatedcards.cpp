#include "sim/simulatedcards.h"

namespace sim {

SimulatedCards make_simulated_cards(const std::string&) {
    SimulatedCards cards;
    cards.error = "simulated cards are not available in this build";
    return cards;
}

}  // namespace sim
