#include "sim/simulatedcards.h"

#include "sim/blockreplay.h"
#include "sim/simsettings.h"
#include "sim/simulatedcard.h"

namespace sim {

SimulatedCards make_simulated_cards(const std::string& text) {
    SimulatedCards cards;
    if (text.empty() || text == "0") return cards;
    SimSettings settings;
    if (!SimSettings::parse(text, &settings, &cards.error)) return cards;
    std::map<int, std::shared_ptr<platform::Device>> devices;
    for (int number : settings.devices) {
        std::unique_ptr<BlockReplay> replay;
        if (!settings.replay.empty()) {
            replay = BlockReplay::open(settings.replay, &cards.error);
            if (!replay) return cards;
            if (!replay->warning().empty() && cards.warnings.empty()) cards.warnings.push_back(replay->warning());
        }
        devices[number] = std::make_shared<SimulatedCard>(number, settings, std::move(replay));
    }
    cards.devices = std::move(devices);
    return cards;
}

}  // namespace sim
