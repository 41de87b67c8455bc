// Per-event analysis of libbusrec on one core: the work the interrupt handler does for every
// event with the report lock held, over a realistic frame mix recorded from a simulated bus.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"
#include "libbusrec/eventanalyzer.h"
#include "libbusrec/include/busrec.h"
#include "common/analysis/sequencebuffer.h"
#include "sim/simulatedcard.h"

namespace {

using namespace linkscope;

constexpr int RECORDED_BLOCKS = 64;

// Full event blocks from a simulated card at speed=max.
std::vector<std::vector<uint8_t>> record_blocks(const std::string& text) {
    sim::SimSettings settings;
    std::string error;
    std::vector<std::vector<uint8_t>> blocks;
    if (!sim::SimSettings::parse(text, &settings, &error)) return blocks;
    auto card = std::make_shared<sim::SimulatedCard>(1, settings);
    card->on_open();
    uint8_t in[8];
    store_le64(in, 1700000000000000ull);
    card->request(LINKSCOPE_IOCTL_SET_EPOCH, in, 8, nullptr, 0, nullptr);
    store_le32(in, SNIFFER_ON);
    card->request(LINKSCOPE_IOCTL_SET_SNIFFER, in, 4, nullptr, 0, nullptr);
    for (int i = 0; i < RECORDED_BLOCKS; ++i) {
        std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
        uint32_t returned = 0;
        card->request(LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block.data(), static_cast<uint32_t>(block.size()),
                      &returned);
        if (returned == EVENT_BLOCK_SIZE) blocks.push_back(std::move(block));
    }
    card->on_close();
    return blocks;
}

void run(benchmark::State& state, const std::string& text) {
    const auto blocks = record_blocks(text);
    if (blocks.empty()) {
        state.SkipWithError("no blocks from the simulated card");
        return;
    }
    std::unique_ptr<busrec_report> report(new busrec_report());
    std::unique_ptr<busrec::SequenceBuffer> sequence(new busrec::SequenceBuffer());
    std::mutex report_lock;
    std::mutex sequence_lock;
    busrec::EventAnalyzer analyzer(0x9080, *sequence, sequence_lock);
    auto* bytes = reinterpret_cast<uint8_t*>(report.get());
    uint64_t events = 0;
    busrec_event event;
    for (auto _ : state) {
        for (const auto& block : blocks) {
            events += EventBlock(block.data()).walk([&](const EventRecord& record) {
                std::lock_guard<std::mutex> lock(report_lock);
                analyzer.analyze(record, bytes, event);
                benchmark::DoNotOptimize(event);
            });
        }
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    benchmark::DoNotOptimize(report->correct_events);
}

void BM_BusrecAnalysisDefaultBus(benchmark::State& state) { run(state, "speed=max"); }
void BM_BusrecAnalysisWithFaults(benchmark::State& state) {
    run(state, "speed=max,fcs_err=0.001,loss=0.001,status_err=0.001,unknown=0.001");
}
void BM_BusrecAnalysisLargeBus(benchmark::State& state) { run(state, "speed=max,stations=200,absent=20"); }

BENCHMARK(BM_BusrecAnalysisDefaultBus);
BENCHMARK(BM_BusrecAnalysisWithFaults);
BENCHMARK(BM_BusrecAnalysisLargeBus);

}  // namespace

BENCHMARK_MAIN();
