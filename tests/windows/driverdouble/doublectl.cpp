// Command-line front of the driver double's control device, for tests that run on the Linux side
// and reach the double through Wine. One command per run; prints results on standard output;
// exits 0 on success, 1 when the double refused, 2 on a usage error.
//
//   doublectl reset
//   doublectl add N | remove N | break N
//   doublectl infos N FILE            the 132-byte device_infos in FILE
//   doublectl inject N FILE           every 32780-byte block in FILE, in order
//   doublectl log N                   one line per request: major code input_length output_length input-hex
//   doublectl state N                 name=value pairs
//   doublectl wait-pending N COUNT MS until COUNT waits are pending; exit 1 after MS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/driver/deviceinfos.h"
#include "common/driver/protocol.h"
#include "tests/windows/driverdouble/doublecontrol.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: doublectl reset | add N | remove N | break N | infos N FILE | inject N FILE | log N |\n"
                 "       state N | wait-pending N COUNT MS\n");
    return 2;
}

bool parse_number(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0';
}

bool read_file(const char* path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void print_log(const std::vector<driverdouble::LoggedRequest>& log) {
    for (const driverdouble::LoggedRequest& entry : log) {
        std::printf("%u 0x%08lx %u %u ", static_cast<unsigned>(entry.major), static_cast<unsigned long>(entry.code),
                    static_cast<unsigned>(entry.input_length), static_cast<unsigned>(entry.output_length));
        const std::size_t shown = entry.input_length < entry.input.size() ? entry.input_length : entry.input.size();
        if (shown == 0) std::printf("-");
        for (std::size_t i = 0; i < shown; ++i) std::printf("%02x", entry.input[i]);
        std::printf("\n");
    }
}

void print_state(const driverdouble::CardState& state) {
    std::printf("pending_waits=%u queued_blocks=%u broken=%u sniffer=%u sniffer_set=%u epoch_set=%u epoch=%llu "
                "opens=%u closes=%u\n",
                static_cast<unsigned>(state.pending_waits), static_cast<unsigned>(state.queued_blocks),
                state.broken ? 1u : 0u, static_cast<unsigned>(state.sniffer), static_cast<unsigned>(state.sniffer_set),
                static_cast<unsigned>(state.epoch_set), static_cast<unsigned long long>(state.epoch),
                static_cast<unsigned>(state.opens), static_cast<unsigned>(state.closes));
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    const std::string& command = args[0];
    driverdouble::DoubleControl control;
    if (command == "reset" && args.size() == 1) {
        control.reset();
        return 0;
    }
    unsigned long card = 0;
    if (args.size() < 2 || !parse_number(args[1].c_str(), card)) return usage();
    const uint32_t number = static_cast<uint32_t>(card);
    if (command == "add" && args.size() == 2) {
        control.add_card(number);
    } else if (command == "remove" && args.size() == 2) {
        control.remove_card(number);
    } else if (command == "break" && args.size() == 2) {
        control.break_card(number);
    } else if (command == "log" && args.size() == 2) {
        print_log(control.read_log(number));
    } else if (command == "state" && args.size() == 2) {
        print_state(control.read_state(number));
    } else if (command == "infos" && args.size() == 3) {
        std::vector<uint8_t> bytes;
        if (!read_file(args[2].c_str(), bytes) || bytes.size() != linkscope::DEVICE_INFOS_SIZE) {
            std::fprintf(stderr, "doublectl: %s does not hold a 132-byte record\n", args[2].c_str());
            return 2;
        }
        control.set_infos(number, linkscope::decode_device_infos(bytes.data()));
    } else if (command == "inject" && args.size() == 3) {
        std::vector<uint8_t> bytes;
        if (!read_file(args[2].c_str(), bytes) || bytes.empty() || bytes.size() % linkscope::EVENT_BLOCK_SIZE != 0) {
            std::fprintf(stderr, "doublectl: %s does not hold whole 32780-byte blocks\n", args[2].c_str());
            return 2;
        }
        for (std::size_t at = 0; at < bytes.size(); at += linkscope::EVENT_BLOCK_SIZE)
            control.inject(number, std::vector<uint8_t>(bytes.begin() + at,
                                                        bytes.begin() + at + linkscope::EVENT_BLOCK_SIZE));
    } else if (command == "wait-pending" && args.size() == 4) {
        unsigned long count = 0;
        unsigned long timeout_ms = 0;
        if (!parse_number(args[2].c_str(), count) || !parse_number(args[3].c_str(), timeout_ms)) return usage();
        return control.wait_for_pending_waits(number, static_cast<uint32_t>(count), static_cast<unsigned>(timeout_ms))
                   ? 0
                   : 1;
    } else {
        return usage();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "doublectl: %s\n", error.what());
        return 1;
    }
}
