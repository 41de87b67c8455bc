#include "sim/simulatedcards.h"

#include <fstream>

#include "common/stream/capturefile.h"
#include "sim/blockreplay.h"
#include "sim/capturereplay.h"
#include "sim/simsettings.h"
#include "sim/simulatedcard.h"

namespace sim {

namespace {

// A pcap capture of the gateway's datagrams, or else a file of raw event blocks.
std::unique_ptr<ReplaySource> open_replay(const SimSettings& settings, std::string* error, std::string* warning) {
    uint8_t magic[4] = {};
    std::ifstream probe(settings.replay, std::ios::binary);
    probe.read(reinterpret_cast<char*>(magic), sizeof magic);
    if (CaptureFile::is_capture(magic, static_cast<std::size_t>(probe.gcount()))) {
        auto capture = CaptureReplay::open(settings.replay, settings.irq_us, error);
        if (capture) *warning = capture->warning();
        return capture;
    }
    auto blocks = BlockReplay::open(settings.replay, error);
    if (blocks) *warning = blocks->warning();
    return blocks;
}

}  // namespace

SimulatedCards make_simulated_cards(const std::string& text) {
    SimulatedCards cards;
    if (text.empty() || text == "0") return cards;
    SimSettings settings;
    if (!SimSettings::parse(text, &settings, &cards.error)) return cards;
    std::map<int, std::shared_ptr<platform::Device>> devices;
    for (int number : settings.devices) {
        std::unique_ptr<ReplaySource> replay;
        if (!settings.replay.empty()) {
            std::string warning;
            replay = open_replay(settings, &cards.error, &warning);
            if (!replay) return cards;
            if (!warning.empty() && cards.warnings.empty()) cards.warnings.push_back(warning);
        }
        devices[number] = std::make_shared<SimulatedCard>(number, settings, std::move(replay));
    }
    cards.devices = std::move(devices);
    return cards;
}

void offer_simulated_cards() { platform::set_simulated_card_maker(&make_simulated_cards); }

}  // namespace sim
