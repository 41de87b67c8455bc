#include "sim/simulatedcards.h"

#include <algorithm>
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

// Files a ring keeps once closed; the one being written carries a suffix after these.
const char* const CAPTURE_EXTENSIONS[] = {".pcap", ".pcapng"};

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

bool closed_capture_name(const std::string& name) {
    for (const std::string extension : CAPTURE_EXTENSIONS)
        if (name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
            return true;
    return false;
}

// The closed captures of a folder, in name order: a ring names its files so that this is their
// time order.
bool folder_captures(const std::string& folder, std::vector<std::string>* paths, std::string* error) {
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (it->is_regular_file(kind) && closed_capture_name(it->path().filename().string())) found.push_back(it->path());
    }
    if (ec) {
        *error = "replay: cannot list the folder '" + folder + "': " + ec.message();
        return false;
    }
    if (found.empty()) {
        *error = "replay: the folder '" + folder +
                 "' holds no closed capture (a file named *.pcap or *.pcapng; files still being written carry a "
                 "suffix after that and are left out)";
        return false;
    }
    std::sort(found.begin(), found.end(),
              [](const std::filesystem::path& a, const std::filesystem::path& b) { return a.filename() < b.filename(); });
    for (const auto& path : found) paths->push_back(path.string());
    return true;
}

// `replay` names a folder of captures or several captures joined by '+' (unless a file has
// that very name): their paths, in replay order.
bool capture_list(const std::string& replay, std::vector<std::string>* paths, std::string* what, std::string* error) {
    std::error_code ec;
    if (std::filesystem::is_directory(replay, ec)) {
        if (!folder_captures(replay, paths, error)) return false;
        *what = "folder '" + replay + "' (" + std::to_string(paths->size()) + " file(s))";
        return true;
    }
    if (replay.find('+') == std::string::npos || std::filesystem::exists(replay, ec)) return false;
    for (std::size_t start = 0;;) {
        const std::size_t plus = replay.find('+', start);
        paths->push_back(replay.substr(start, plus == std::string::npos ? std::string::npos : plus - start));
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    for (const std::string& path : *paths) {
        if (path.empty()) {
            *error = "replay: an empty file name in the list '" + replay + "'";
            return false;
        }
        if (!replayable_file(path, error)) return false;
    }
    *what = std::to_string(paths->size()) + " files ('" + paths->front() + "' to '" + paths->back() + "')";
    return true;
}

CaptureReplay::Choice choice_of(const SimSettings& settings) {
    CaptureReplay::Choice choice;
    choice.serial = settings.replay_serial;
    choice.by_address = settings.replay_by_address;
    choice.address = settings.replay_address;
    choice.port = settings.replay_port;
    return choice;
}

// Captures (pcap or pcapng; a folder or a list of them), or else a file of raw event blocks.
std::unique_ptr<ReplaySource> open_replay(const SimSettings& settings, std::string* error, std::string* warning) {
    std::vector<std::string> paths;
    std::string what;
    if (capture_list(settings.replay, &paths, &what, error) || !error->empty()) {
        if (!error->empty()) return nullptr;
        auto capture = CaptureReplay::open(paths, what, settings.irq_us, error, choice_of(settings));
        if (capture) *warning = capture->warning();
        return capture;
    }
    if (!replayable_file(settings.replay, error)) return nullptr;
    uint8_t magic[4] = {};
    std::ifstream probe(settings.replay, std::ios::binary);
    probe.read(reinterpret_cast<char*>(magic), sizeof magic);
    const auto got = static_cast<std::size_t>(probe.gcount());
    if (CaptureFile::is_capture(magic, got)) {
        auto capture = CaptureReplay::open({settings.replay}, "'" + settings.replay + "'", settings.irq_us, error,
                                           choice_of(settings));
        if (capture) *warning = capture->warning();
        return capture;
    }
    if (settings.replay_serial || settings.replay_by_address) {
        *error = "replay: '" + settings.replay +
                 "' is no capture (pcap or pcapng), so replay_serial or replay_address cannot pick a gateway in it";
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
