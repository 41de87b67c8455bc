// Throughput of the acquisition: a test card hands out full event blocks as fast as they are
// asked for; the benchmark thread drains the queue, as the UDP sender would.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "gateway/card/linkscope.h"
#include "gateway/queue/syncmappedqueue.h"
#include "tests/support/blockbuilder.h"
#include "tests/support/scratchdirectory.h"
#include "tests/support/testdevice.h"

namespace {

constexpr int DEVICE_NUMBER = 1;
constexpr unsigned QUEUE_SIZE = 52428800;

// A block full of ID_DAT records (the shortest frames, so the most events per block) with
// contiguous indices; returns the number of records.
std::size_t fill_block(std::vector<uint8_t>& block, uint64_t first_index) {
    testsupport::BlockBuilder builder;
    std::size_t count = 0;
    const auto frame = testsupport::make_frame(linkscope::CTRL_ID_DAT, {0x90, 0x80});
    while (builder.add(testsupport::make_record(frame, first_index + count))) ++count;
    block = builder.build();
    return count;
}

void BM_AcquisitionIntoQueue(benchmark::State& state) {
    const testsupport::ScratchDirectory dir{"busgate-bench-card"};
    auto queue = std::make_shared<Linkscope::Queue>(dir / "buffer.bin", QUEUE_SIZE);
    std::vector<uint8_t> block;
    const std::size_t per_block = fill_block(block, 1);
    auto device = std::make_shared<testsupport::TestDevice>();
    const std::size_t record_size = linkscope::EVT_HEADER_SIZE + 5;
    uint64_t next_index = 1;
    // Served on the acquisition thread: the indices go on from block to block, as on a live bus.
    device->set_block_source([&block, &next_index, per_block, record_size](std::vector<uint8_t>& out) {
        for (std::size_t i = 0; i < per_block; ++i)
            linkscope::store_be64(block.data() + linkscope::EVENT_AREA_OFFSET + i * record_size + linkscope::EVT_OFF_INDEX,
                                  next_index++);
        out = block;
        return true;
    });
    platform::install_device(DEVICE_NUMBER, device);
    FILE* log = std::fopen("/dev/null", "w");
    {
        Linkscope card(log, queue);
        if (card.start(DEVICE_NUMBER - 1) != 0) {
            state.SkipWithError("card did not start");
        } else {
            std::vector<char> record;
            std::size_t taken = 0;
            const uint32_t acquired_before = card.stats().frame_rcvd_cnt;
            const auto began = std::chrono::steady_clock::now();
            for (auto _ : state) {
                for (std::size_t i = 0; i < per_block;)
                    if (queue->dequeue(record)) ++i;
                taken += per_block;
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            const uint32_t acquired = card.stats().frame_rcvd_cnt - acquired_before;
            card.stop();
            // Events the acquisition counted and queued (items_per_second is what was drained;
            // when the producer is faster the queue fills and drops, see "dropped").
            state.counters["acquired_per_second"] = acquired / seconds;
            state.SetItemsProcessed(static_cast<int64_t>(taken));
            state.counters["dropped"] = static_cast<double>(queue->dropped_count());
            state.counters["events_per_block"] = static_cast<double>(per_block);
        }
    }
    platform::remove_device(DEVICE_NUMBER);
    std::fclose(log);
    queue.reset();
}

BENCHMARK(BM_AcquisitionIntoQueue)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
