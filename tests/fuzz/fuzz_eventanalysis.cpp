// libbusrec's analysis on arbitrary events: what a session's interrupt handler does with each
// record of a block (decode, report counters, station table, sequence buffer), then one
// diagnostic step (cycle search and publication).
// Input: synchronisation identifier (2 bytes, big-endian; 0 for the default), a flag byte
// (bit 0: the session is running), then the event area of the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"
#include "common/analysis/cycleanalyzer.h"
#include "libbusrec/eventanalyzer.h"
#include "libbusrec/include/busrec.h"
#include "libbusrec/reportlayout.h"
#include "common/analysis/sequencebuffer.h"
#include "common/analysis/variabledecoder.h"

using namespace linkscope;

namespace {

constexpr std::size_t PREFIX_SIZE = 3;
constexpr uint8_t FLAG_RUNNING = 0x01;

// The large state, allocated once and reset for every input.
struct State {
    std::unique_ptr<busrec::SequenceBuffer> pristine{new busrec::SequenceBuffer()};
    std::unique_ptr<busrec::SequenceBuffer> sequence{new busrec::SequenceBuffer()};
    std::unique_ptr<busrec_report> report{new busrec_report()};
    std::vector<uint8_t> block = std::vector<uint8_t>(EVENT_BLOCK_SIZE);
};

State& state() {
    static State s;
    return s;
}

// The data handler of a host program: reads all that the event points at.
unsigned read_like_a_host(const busrec_event& event, const std::vector<uint8_t>& record) {
    const uint8_t* frame = record.data() + EVT_HEADER_SIZE;
    if (event.frame != frame || event.frame_length != record.size() - EVT_HEADER_SIZE) std::abort();
    unsigned sum = 0;
    for (std::size_t i = 0; i < event.frame_length; ++i) sum += event.frame[i];
    if (event.data_length == 0) return sum;
    // Data never reaches into the FCS.
    if (event.data < frame || event.data + event.data_length + FCS_SIZE > frame + event.frame_length) std::abort();
    for (std::size_t i = 0; i < event.data_length; ++i) sum += event.data[i];
    return sum;
}

void check_texts(const busrec_report& report) {
    for (const busrec_station& s : report.stations) {
        for (const char* text : {s.text_80, s.text_81, s.text_83, s.text_8a})
            if (std::memchr(text, '\0', BUSREC_STATION_TEXT_SIZE) == nullptr) std::abort();
    }
}

void check_cycles(const busrec_report& report) {
    if (report.cycle_count > BUSREC_CYCLE_COUNT) std::abort();
    for (uint32_t k = 0; k < report.cycle_count; ++k) {
        const busrec_cycle& c = report.cycles[k];
        const bool lists = c.type == BUSREC_CYCLE_PERIODIC || c.type == BUSREC_CYCLE_MESSAGE;
        if (lists && c.count_or_time > BUSREC_CYCLE_IDENTIFIER_SLOTS) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < PREFIX_SIZE) return 0;
    State& s = state();
    *s.sequence = *s.pristine;
    std::memset(s.report.get(), 0, sizeof(busrec_report));
    uint8_t* report = reinterpret_cast<uint8_t*>(s.report.get());
    if (data[2] & FLAG_RUNNING) store_le16(report + busrec::report::STATE, BUSREC_STATE_RUNNING);

    const uint16_t configured = load_be16(data);
    std::mutex sequence_lock;
    busrec::EventAnalyzer analyzer(configured ? configured : busrec::variable::DEFAULT_SYNC_ID, *s.sequence,
                                   sequence_lock);

    std::fill(s.block.begin(), s.block.end(), 0);
    store_le32(s.block.data(), BLOCK_FLAG_EVENTS_A);
    const std::size_t area = size - PREFIX_SIZE;
    std::memcpy(s.block.data() + EVENT_AREA_OFFSET, data + PREFIX_SIZE,
                area < EVENT_AREA_SIZE ? area : EVENT_AREA_SIZE);

    volatile unsigned sink = 0;
    EventBlock(s.block.data()).walk([&](const EventRecord& in_block) {
        // Each record on its own in an exact-size copy: a read past the record is caught.
        const std::vector<uint8_t> record(in_block.data(), in_block.data() + in_block.size());
        busrec_event event;
        analyzer.analyze(EventRecord(record.data(), record.size()), report, event);
        if (event.error > BUSREC_EVT_LENGTH) std::abort();
        sink = sink + read_like_a_host(event, record);
    });
    check_texts(*s.report);

    busrec::CycleAnalyzer cycles;
    if (cycles.analyze(*s.sequence)) cycles.publish(report);
    check_cycles(*s.report);
    return 0;
}
