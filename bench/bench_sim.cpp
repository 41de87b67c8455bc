// Events per second that one simulated card produces at speed=max: it must far exceed what the
// gateway forwards, so that end-to-end benchmarks measure the gateway.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"
#include "bench/startedcard.h"

namespace {

using namespace linkscope;

void run(benchmark::State& state, const std::string& text) {
    auto card = bench::started_card(text);
    if (!card) {
        state.SkipWithError("bad settings");
        return;
    }
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    uint64_t events = 0;
    for (auto _ : state) {
        uint32_t returned = 0;
        card->request(LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block.data(), static_cast<uint32_t>(block.size()),
                      &returned);
        // Count as a reader would, so the figure is of usable events.
        events += EventBlock(block.data()).walk([](const EventRecord&) {});
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * EVENT_BLOCK_SIZE));
}

void BM_SimulatedCardSpeedMax(benchmark::State& state) { run(state, "speed=max"); }
void BM_SimulatedCardSpeedMaxWithFaults(benchmark::State& state) {
    run(state, "speed=max,fcs_err=0.001,loss=0.001,status_err=0.001,unknown=0.001");
}
void BM_SimulatedCardSpeedMaxLargeBus(benchmark::State& state) { run(state, "speed=max,stations=200,absent=20"); }

BENCHMARK(BM_SimulatedCardSpeedMax);
BENCHMARK(BM_SimulatedCardSpeedMaxWithFaults);
BENCHMARK(BM_SimulatedCardSpeedMaxLargeBus);

}  // namespace

BENCHMARK_MAIN();
