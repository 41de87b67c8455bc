// The per-event building blocks of the record path: the frame check over a frame's bytes, the
// walk over a full event block, and packing queued records into datagrams.
#include <benchmark/benchmark.h>

#include <vector>

#include "common/driver/controlbyte.h"
#include "common/driver/eventblock.h"
#include "common/driver/framecheck.h"
#include "gateway/udp/datagram.h"
#include "tests/support/blockbuilder.h"

namespace {

constexpr uint8_t FCS_MODE = 2;

// Frame check of one frame of range(0) bytes (control byte to FCS), as done for every event.
void BM_FrameCheck(benchmark::State& state) {
    const std::size_t data_length = static_cast<std::size_t>(state.range(0)) - 5;
    const auto frame = testsupport::make_response_frame(std::vector<uint8_t>(data_length, 0x5A), FCS_MODE);
    for (auto _ : state)
        benchmark::DoNotOptimize(linkscope::FrameCheck::frame_is_correct(FCS_MODE, frame.data(), frame.size()));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

// Walk of a block full of the shortest records (the most per block), reading each record's index.
void BM_BlockWalk(benchmark::State& state) {
    testsupport::BlockBuilder builder;
    const auto frame = testsupport::make_identifier_frame(linkscope::CTRL_ID_DAT, 0x9080, FCS_MODE);
    uint64_t count = 0;
    while (builder.add_record(frame, count + 1)) ++count;
    const std::vector<uint8_t> block = builder.build();
    for (auto _ : state) {
        uint64_t sum = 0;
        linkscope::EventBlock(block.data()).walk([&sum](const linkscope::EventRecord& r) { sum += r.index(); });
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}

// Records of range(0) bytes appended until the datagram closes, as the sender does.
void BM_DatagramPacking(benchmark::State& state) {
    const std::vector<char> record(static_cast<std::size_t>(state.range(0)), 'r');
    Datagram datagram;
    uint64_t sequence = 0;
    int64_t records = 0;
    for (auto _ : state) {
        datagram.clear();
        while (datagram.has_room_for(record.size()) && !datagram.payload_over_threshold()) {
            datagram.append(record);
            ++records;
        }
        benchmark::DoNotOptimize(datagram.close(++sequence).data());
    }
    state.SetItemsProcessed(records);
    state.SetBytesProcessed(records * static_cast<int64_t>(record.size()));
}

}  // namespace

BENCHMARK(BM_FrameCheck)->Arg(5)->Arg(64)->Arg(133);
BENCHMARK(BM_BlockWalk);
BENCHMARK(BM_DatagramPacking)->Arg(40)->Arg(323);
