// busdump's per-datagram work on a full datagram of 1000 short event records.
#include <benchmark/benchmark.h>

#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "common/stream/datagramheader.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/streamtracker.h"
#include "tools/busdump/textformatter.h"

namespace {

std::vector<uint8_t> full_datagram() {
    constexpr uint32_t RECORDS = 1000;
    std::vector<uint8_t> bytes(DatagramHeader::HEADER_SIZE);
    DatagramHeader{1, RECORDS}.encode(bytes.data());
    for (uint32_t i = 0; i < RECORDS; ++i) {
        uint8_t frame[5] = {0x03, 0x90, static_cast<uint8_t>(i), 0, 0};
        uint16_t fcs = 0;
        linkscope::FrameCheck::compute(2, frame, 3, &fcs);
        linkscope::store_be16(frame + 3, fcs);
        linkscope::EventHeader header;
        header.status = linkscope::make_status(2, 3);
        header.index = i + 1;
        linkscope::append_event_record(bytes, header, frame, sizeof frame);
    }
    return bytes;
}

// Decoded as busdump does: into one DecodedDatagram kept for every datagram.
void BM_DecodeDatagram(benchmark::State& state) {
    const auto bytes = full_datagram();
    busdump::DecodedDatagram datagram;
    for (auto _ : state) {
        busdump::DatagramDecoder::decode_into(bytes.data(), bytes.size(), datagram);
        benchmark::DoNotOptimize(datagram.records.data());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeDatagram);

template <typename Formatter>
void BM_DecodeTrackFormat(benchmark::State& state) {
    const auto bytes = full_datagram();
    const Formatter formatter;
    const busdump::Arrival arrival{0, "127.0.0.1:1"};
    busdump::StreamTracker tracker;
    busdump::DecodedDatagram datagram;
    for (auto _ : state) {
        busdump::DatagramDecoder::decode_into(bytes.data(), bytes.size(), datagram);
        benchmark::DoNotOptimize(tracker.observe(datagram));
        std::size_t size = 0;
        for (std::size_t i = 0; i < datagram.records.size(); ++i) size += formatter.record(arrival, datagram, i).size();
        benchmark::DoNotOptimize(size);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK_TEMPLATE(BM_DecodeTrackFormat, busdump::TextFormatter);
BENCHMARK_TEMPLATE(BM_DecodeTrackFormat, busdump::JsonFormatter);

}  // namespace
