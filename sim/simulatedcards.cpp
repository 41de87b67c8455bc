#include "sim/simulatedcards.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/stream/capturefile.h"
#include "sim/blockreplay.h"
#include "sim/capturereplay.h"
#include "sim/simsettings.h"
#include "sim/simulatedcard.h"

namespace sim {

namespace {

// A pcapng file starts with its section header block, of this type.
constexpr uint8_t PCAPNG_SECTION_MAGIC[4] = {0x0A, 0x0D, 0x0D, 0x0A};

// Only a regular file is replayed: a directory holds no blocks, and a FIFO or a device would
// hold up the start or never end.
bool replayable_file(const std::string& path, std::string* error) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec) {
        *error = "replay: cannot read '" + path + "': " + ec.message();
        return false;
    }
    if (std::filesystem::is_regular_file(status)) return true;
    *error = "replay: '" + path + "' is " +
             (std::filesystem::is_directory(status) ? std::string("a directory")
              : std::filesystem::is_fifo(status)   ? std::string("a FIFO")
                                                   : std::string("no regular file")) +
             ", not a capture or a file of event blocks";
    return false;
}

// A pcap capture of the gateway's datagrams, or else a file of raw event blocks.
std::unique_ptr<ReplaySource> open_replay(const SimSettings& settings, std::string* error, std::string* warning) {
    if (!replayable_file(settings.replay, error)) return nullptr;
    uint8_t magic[4] = {};
    std::ifstream probe(settings.replay, std::ios::binary);
    probe.read(reinterpret_cast<char*>(magic), sizeof magic);
    const auto got = static_cast<std::size_t>(probe.gcount());
    if (got == sizeof magic && std::memcmp(magic, PCAPNG_SECTION_MAGIC, sizeof magic) == 0) {
        *error = "replay: '" + settings.replay +
                 "' is a pcapng file, which is not supported yet: save it as pcap (editcap -F pcap IN OUT)";
        return nullptr;
    }
    if (CaptureFile::is_capture(magic, got)) {
        auto capture = CaptureReplay::open(settings.replay, settings.irq_us, error, settings.replay_serial);
        if (capture) *warning = capture->warning();
        return capture;
    }
    if (settings.replay_serial) {
        *error = "replay: '" + settings.replay + "' is no capture (pcap), so replay_serial cannot pick a gateway in it";
        return nullptr;
    }
    return BlockReplay::open(settings.replay, error);
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
