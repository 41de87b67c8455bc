// The command line parser: the input split at NUL bytes into argv (argv[0] first).
// load_settings returns for help, version, the card listing and errors, so every outcome
// comes back here; their texts go to the null device.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/appcfg.h"
#include "gateway/logger.h"
#include "gateway/settings.h"
#include "tests/support/processsurroundings.h"

namespace {

std::vector<std::string> split_at_nul(const uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No simulated card for -l, no getopt messages, and the help and listing texts out of the way.
    if (!testsupport::remove_environment_variable("LINKSCOPE_SIM")) std::abort();
    opterr = 0;
    if (!std::freopen(testsupport::NULL_DEVICE, "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> args = split_at_nul(data, size);
    // getopt_long permutes argv, so it gets its own copies of the arguments.
    std::vector<std::vector<char>> storage;
    for (const std::string& a : args) storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    int go_on = -1;
    const int status = load_settings(static_cast<int>(args.size()), argv.data(), &go_on);
    if (status != 0 && status != 1) std::abort();
    if (go_on != 0 && go_on != 1) std::abort();
    if (status == 1 && go_on != 0) std::abort();  // a wrong command line never goes on
    // A run that goes on has a numeric destination or broadcasts.
    if (go_on == 1 && cfg.broadcast != (cfg.ip_address == nullptr)) std::abort();
    // A run that goes on has a port that the datagrams can carry.
    if (go_on == 1 && (cfg.port < 0 || cfg.port > MAX_UDP_PORT)) std::abort();
    (void)take_settings_notes();
    logger::is_colorized = false;
    return 0;
}
