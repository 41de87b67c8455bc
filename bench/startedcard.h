// A simulated card opened and started as the gateway starts a card: reset, epoch, sniffer on.
#pragma once

#include <memory>
#include <string>

#include "sim/simulatedcard.h"

namespace bench {

// Null when the settings text is refused.
std::shared_ptr<sim::SimulatedCard> started_card(const std::string& settings_text);

}  // namespace bench
