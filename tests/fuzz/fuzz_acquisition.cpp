// The card's acquisition on an arbitrary event block: the walk, the continuity rule, the frame
// checks, the statistics and the queued copies. The input is the start of the block; the rest
// stays zero, as in a block the card has only partly filled.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"
#include "gateway/card/linkscope.h"
#include "gateway/queue/syncmappedqueue.h"
#include "tests/support/processsurroundings.h"
#include "tests/support/scratchdirectory.h"

using namespace linkscope;

namespace {

// Room for a block of nothing but 30-byte records, with the container's overhead.
constexpr unsigned QUEUE_SIZE = 16u << 20;

struct Harness {
    testsupport::ScratchDirectory dir{"fuzz_acquisition"};
    FILE* log = nullptr;
    std::shared_ptr<Linkscope::Queue> queue;
    std::unique_ptr<Linkscope> card;

    Harness() {
        log = std::fopen(testsupport::NULL_DEVICE, "w");
        if (!log) std::abort();
        queue = std::make_shared<Linkscope::Queue>(dir / "buffer.bin", QUEUE_SIZE);
        card = std::make_unique<Linkscope>(log, queue);
    }
    // The queue removes its file; the scratch directory goes after it.
    ~Harness() {
        card.reset();
        queue.reset();
        std::fclose(log);
    }
};

Harness& harness() {
    static Harness h;
    return h;
}

struct Expected {
    std::vector<std::vector<char>> records;
};

Expected expected_records(const std::vector<uint8_t>& block) {
    Expected out;
    const EventBlock view(block.data());
    if (!view.carries_events()) return out;
    std::size_t total = 0;
    view.walk([&](const EventRecord& record) {
        if (record.size() < EVT_HEADER_SIZE || record.data() < block.data() ||
            record.data() + record.size() > block.data() + block.size())
            std::abort();
        total += record.size();
        const char* bytes = reinterpret_cast<const char*>(record.data());
        out.records.emplace_back(bytes, bytes + record.size());
    });
    if (total > EVENT_AREA_SIZE) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Exactly one block on the heap, so that a read past it is caught.
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());

    Harness& h = harness();
    const FIPStats before = h.card->stats();
    h.card->process_block(block.data());
    const FIPStats after = h.card->stats();

    // Every record the walk hands out is queued once, unchanged and in order, and counted.
    // Only the expected records are taken: asking an empty queue waits for its timeout. A record
    // queued beyond them would come first in the next input and fail there.
    const Expected expected = expected_records(block);
    std::vector<char> queued;
    for (const std::vector<char>& record : expected.records)
        if (!h.queue->dequeue(queued) || queued != record) std::abort();
    if (h.queue->dropped_count() != 0) std::abort();
    const uint64_t frames = after.frame_rcvd_cnt - before.frame_rcvd_cnt;
    if (frames != expected.records.size()) std::abort();
    const uint64_t faults = (after.unknown_ctrl_cnt - before.unknown_ctrl_cnt) + (after.fcs_err_cnt - before.fcs_err_cnt) +
                            (after.pdu_type_err_cnt - before.pdu_type_err_cnt) +
                            (after.length_err_cnt - before.length_err_cnt);
    if (faults > frames) std::abort();  // a frame has at most one fault
    return 0;
}
