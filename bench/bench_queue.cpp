// Records per second through the mapped queue with the gateway's two producers and one consumer.
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "gateway/queue/syncmappedqueue.h"
#include "tests/support/scratchdirectory.h"

namespace {

constexpr unsigned BUFFER_SIZE = 52428800;  // the gateway's default
constexpr int RECORDS_PER_PRODUCER = 20000;

void BM_QueueTwoProducersOneConsumer(benchmark::State& state) {
    const auto record_length = static_cast<std::size_t>(state.range(0));
    const testsupport::ScratchDirectory dir{"busgate-bench"};
    {
        SyncMappedQueue<std::vector<char>> queue(dir / "buffer.bin", BUFFER_SIZE);
        const std::vector<char> record(record_length, 0x42);
        for (auto _ : state) {
            auto produce = [&] {
                for (int n = 0; n < RECORDS_PER_PRODUCER; ++n) queue.enqueue(record);
            };
            std::thread acquisition(produce);
            std::thread lifesign(produce);
            std::vector<char> out;
            for (int taken = 0; taken < 2 * RECORDS_PER_PRODUCER;)
                if (queue.dequeue(out)) ++taken;
            acquisition.join();
            lifesign.join();
            benchmark::DoNotOptimize(out.data());
        }
        state.SetItemsProcessed(state.iterations() * 2 * RECORDS_PER_PRODUCER);
        state.counters["dropped"] = static_cast<double>(queue.dropped_count());
    }
}

}  // namespace

BENCHMARK(BM_QueueTwoProducersOneConsumer)->Arg(40)->Arg(323)->UseRealTime()->Unit(benchmark::kMillisecond);
