#include <iostream>
#include <string>
#include <vector>

#include "busgate/version.h"
#include "platform/console.h"
#include "tools/busdump/busdump.h"
#include "tools/busdump/capturekeeper.h"
#include "tools/busdump/extcapinterface.h"
#include "tools/busdump/options.h"

namespace {

// Wireshark runs busdump from its extcap folder: a query answered, or a live capture into its FIFO.
int serve_wireshark(const std::vector<std::string>& args) {
    busdump::Options options;
    std::string error;
    switch (busdump::ExtcapInterface(BUSGATE_VERSION).handle(args, std::cout, options, error)) {
        case busdump::ExtcapInterface::Action::answered: return 0;
        case busdump::ExtcapInterface::Action::refused: std::cerr << "busdump: " << error << "\n"; return 2;
        case busdump::ExtcapInterface::Action::capture: break;
    }
    // Wireshark reads the FIFO only: busdump's own lines would go nowhere.
    std::ostream nowhere(nullptr);
    busdump::BusDump dump(options, nowhere, std::cerr);
    if (!dump.open()) return 1;
    return dump.run(true);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (busdump::ExtcapInterface::is_request(args)) return serve_wireshark(args);
    busdump::Options options;
    std::string error;
    if (!busdump::Options::parse(args, options, error)) {
        std::cerr << "busdump: " << error << "\n";
        return 2;
    }
    if (options.help) {
        std::cout << busdump::Options::usage();
        return 0;
    }
    if (options.version) {
        std::cout << "busdump " << BUSGATE_VERSION << "\n";
        return 0;
    }
    if (options.keep_now) {
        std::string error;
        if (!busdump::CaptureKeeper::ask(options.keep_dir, "busdump --keep-now", error)) {
            std::cerr << "busdump: " << error << "\n";
            return 1;
        }
        std::cout << "busdump: asked the recorder keeping into " << options.keep_dir
                  << " to keep the minutes around now (it takes the request within a second)\n";
        return 0;
    }
    // The analysis is drawn in place, as top does, where the terminal understands the escapes.
    if (options.analyze && platform::stdout_is_terminal() && platform::terminal_shows_colors()) {
        platform::enable_terminal_colors();
        options.redraw = true;
    }
    busdump::BusDump dump(options, std::cout, std::cerr);
    if (!dump.open()) return 1;
    return dump.run(true);
}
