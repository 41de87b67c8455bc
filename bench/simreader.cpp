// The simulated card's own share of a gateway run: reads a simulated card at its natural pace
// for a while, doing nothing with the events but walk them, and prints its CPU time as one JSON
// line. The card runs inside the gateway's process, so its cost is part of the gateway's figures.
//   bench_sim_reader SETTINGS SECONDS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/startedcard.h"
#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_sim_reader SETTINGS SECONDS\n");
        return 2;
    }
    auto card = bench::started_card(argv[1]);
    if (!card) {
        std::fprintf(stderr, "bench_sim_reader: settings refused: %s\n", argv[1]);
        return 2;
    }
    const auto length = std::chrono::duration<double>(std::strtod(argv[2], nullptr));
    std::vector<uint8_t> block(linkscope::EVENT_BLOCK_SIZE);
    uint64_t events = 0;
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < length) {
        uint32_t returned = 0;
        if (!card->request(linkscope::LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block.data(),
                           static_cast<uint32_t>(block.size()), &returned))
            continue;
        events += linkscope::EventBlock(block.data()).walk([](const linkscope::EventRecord&) {});
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("{\"events\": %llu, \"seconds\": %.6f, \"cpu_seconds\": %.6f}\n",
                static_cast<unsigned long long>(events), wall, cpu_seconds() - cpu_start);
    return 0;
}
