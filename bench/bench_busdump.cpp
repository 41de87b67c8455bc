// busdump's per-datagram work on a full datagram of 1000 short event records, and the
// analysis of --analyze on datagrams of bus traffic.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "common/stream/datagramheader.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/analysisboard.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/metricsboard.h"
#include "tools/busdump/mqttreporter.h"
#include "tools/busdump/senderanalysis.h"
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

// A full datagram of bus traffic: exchanges of 20 periodic identifiers (ID_DAT, then RP_DAT
// with 4 data bytes) after the sync variable, 20 us apart, continuing `first_index` on.
std::vector<uint8_t> traffic_datagram(uint64_t sequence, uint64_t first_index) {
    std::vector<uint8_t> bytes(16, 0);
    bytes[0] = 'L';
    bytes[1] = 'S';
    bytes[2] = 1;
    linkscope::store_be64(&bytes[4], sequence);
    constexpr uint32_t RECORDS = 1000;
    constexpr uint64_t EXCHANGES_PER_CYCLE = 21;
    linkscope::store_be32(&bytes[12], RECORDS);
    for (uint32_t i = 0; i < RECORDS; ++i) {
        const uint64_t index = first_index + i;
        const uint64_t exchange = index / 2 % EXCHANGES_PER_CYCLE;
        const auto identifier = static_cast<uint16_t>(exchange == 0 ? 0x9080 : 0x0200 | exchange);
        uint8_t frame[12] = {0x03};
        std::size_t length = 3;
        if (index % 2 == 0) {
            linkscope::store_be16(frame + 1, identifier);
        } else {
            const uint8_t response[] = {0x02, 0x40, 4, 1, 2, 3, static_cast<uint8_t>(index)};
            std::copy(std::begin(response), std::end(response), frame);
            length = sizeof response;
        }
        uint16_t fcs = 0;
        linkscope::FrameCheck::compute(2, frame, length, &fcs);
        linkscope::store_be16(frame + length, fcs);
        linkscope::EventHeader header;
        header.status = linkscope::make_status(2, 3);
        header.index = index + 1;
        header.timestamp = 20 * index;
        linkscope::append_event_record(bytes, header, frame, length + 2);
    }
    return bytes;
}

// busdump --analyze: decoding and analysing every event of a sender's datagrams. The stream
// goes on from datagram to datagram (made outside the timing), as a gateway's does.
void BM_DecodeAnalyze(benchmark::State& state) {
    busdump::SenderAnalysis analysis(0x9080, 0.1);
    busdump::DecodedDatagram datagram;
    uint64_t sequence = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto bytes = traffic_datagram(sequence + 1, sequence * 1000);
        ++sequence;
        state.ResumeTiming();
        busdump::DatagramDecoder::decode_into(bytes.data(), bytes.size(), datagram);
        analysis.add(datagram);
    }
    benchmark::DoNotOptimize(analysis.identifiers().size());
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DecodeAnalyze);

// busdump --analyze with many senders: each sender's datagram in turn, as the socket hands
// them over, so that every sender's tables are as far from the cache as they are in busdump.
// The senders play the same stream of datagrams (their time stamps go back once a pass).
void BM_DecodeAnalyzeSenders(benchmark::State& state) {
    constexpr uint64_t DATAGRAMS_PER_PASS = 16;
    std::vector<std::vector<uint8_t>> stream;
    for (uint64_t d = 0; d < DATAGRAMS_PER_PASS; ++d) stream.push_back(traffic_datagram(d + 1, d * 1000));
    std::vector<std::unique_ptr<busdump::SenderAnalysis>> senders;
    for (int64_t s = 0; s < state.range(0); ++s) senders.push_back(std::make_unique<busdump::SenderAnalysis>(0x9080, 0.1));
    busdump::DecodedDatagram datagram;
    uint64_t turn = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& bytes = stream[turn++ % DATAGRAMS_PER_PASS];
        for (auto& analysis : senders) {
            busdump::DatagramDecoder::decode_into(bytes.data(), bytes.size(), datagram);
            analysis->add(datagram);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 1000);
}
BENCHMARK(BM_DecodeAnalyzeSenders)->Arg(1)->Arg(256);

// A table of `senders` gateways, each named by its lifesign and with a datagram of bus traffic
// analysed, as busdump holds them when --metrics renders.
struct MetricsSenders {
    busdump::Options options;
    busdump::AnalysisBoard analysis{options};
    busdump::SourceTable sources;

    explicit MetricsSenders(int64_t senders) {
        std::vector<uint8_t> lifesign(DatagramHeader::HEADER_SIZE);
        DatagramHeader{1, 1}.encode(lifesign.data());
        for (int64_t n = 0; n < senders; ++n) {
            LifesignRecord record;
            record.counter = 1;
            record.sn = 0x4c530000 + static_cast<uint32_t>(n) + 1;
            const std::vector<char> bytes = record.encode();
            std::vector<uint8_t> datagram_bytes = lifesign;
            datagram_bytes.insert(datagram_bytes.end(), bytes.begin(), bytes.end());
            for (const auto& raw : {datagram_bytes, traffic_datagram(2, 0)}) {
                busdump::DecodedDatagram datagram = busdump::DatagramDecoder::decode(raw.data(), raw.size());
                std::vector<busdump::Notice> notices;
                const busdump::Source& sender =
                    sources.observe("10.0.0.1", static_cast<uint16_t>(40000 + n), datagram, 0, notices);
                analysis.add(sender, datagram);
            }
        }
    }
};

// busdump --metrics: what it takes to gather every sender's figures (20 stations each, the
// latest lifesign) into the snapshot the HTTP server hands out, all at once.
void BM_MetricsPublish(benchmark::State& state) {
    MetricsSenders table(state.range(0));
    busdump::MetricsBoard board(std::make_shared<busdump::MetricsSnapshot>());
    for (auto _ : state) board.publish(table.sources, &table.analysis, 1000000);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MetricsPublish)->Arg(1)->Arg(16)->Arg(255)->Unit(benchmark::kMicrosecond);

// The same in the steps busdump takes (a few a turn of its event loop, for about 0.5 ms): what
// one step keeps the receiving thread from the socket. Counters: the mean of a sender's step,
// the longest of them, and the last step (handing the families over).
void BM_MetricsSteps(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const auto us = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
    MetricsSenders table(state.range(0));
    busdump::MetricsBoard board(std::make_shared<busdump::MetricsSnapshot>());
    double sender_steps_us = 0, longest_sender_us = 0, last_steps_us = 0;
    for (auto _ : state) {
        board.begin(table.sources);
        for (bool more = true; more;) {
            const Clock::time_point start = Clock::now();
            more = board.step(table.sources, &table.analysis, 1000000);
            const double took = us(Clock::now() - start);
            if (!more) {
                last_steps_us += took;
                continue;
            }
            sender_steps_us += took;
            longest_sender_us = std::max(longest_sender_us, took);
        }
    }
    const auto rendered = static_cast<double>(state.iterations());
    state.counters["sender_step_us"] = sender_steps_us / (rendered * static_cast<double>(state.range(0)));
    state.counters["longest_sender_step_us"] = longest_sender_us;
    state.counters["hand_over_us"] = last_steps_us / rendered;
}
BENCHMARK(BM_MetricsSteps)->Arg(16)->Arg(255)->Unit(benchmark::kMicrosecond);

// What the first scrape of a snapshot costs the HTTP server's thread: both exposition texts.
void BM_MetricsTexts(benchmark::State& state) {
    MetricsSenders table(state.range(0));
    const busdump::MetricsFamilies families = busdump::MetricsBoard::families(table.sources, &table.analysis, 1000000);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = families.text(busdump::MetricsFamilies::Format::openmetrics).size() +
                families.text(busdump::MetricsFamilies::Format::prometheus).size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsTexts)->Arg(16)->Arg(255)->Unit(benchmark::kMicrosecond);

// busdump --mqtt: what the receiving thread spends once an interval on the summaries of every
// sender (a JSON object each, handed to the client's queue), and every 100 ms on looking for
// silent senders.
void BM_MqttSummaries(benchmark::State& state) {
    MetricsSenders table(state.range(0));
    std::vector<std::pair<std::string, std::string>> queue;
    busdump::MqttReporter reporter("plant", [&queue](const std::string& topic, const std::string& payload, bool, bool) {
        queue.emplace_back(topic, payload);
    });
    for (const busdump::Source* sender : table.sources.sources()) reporter.heard(*sender, 0);
    int64_t now = 0;
    for (auto _ : state) {
        queue.clear();
        reporter.summaries(table.sources, ++now);
    }
    state.counters["messages"] = static_cast<double>(queue.size());
}
BENCHMARK(BM_MqttSummaries)->Arg(16)->Arg(255)->Unit(benchmark::kMicrosecond);

void BM_MqttSilenceCheck(benchmark::State& state) {
    MetricsSenders table(state.range(0));
    busdump::MqttReporter reporter("plant", [](const std::string&, const std::string&, bool, bool) {});
    for (const busdump::Source* sender : table.sources.sources()) reporter.heard(*sender, 0);
    for (auto _ : state) reporter.check_silence(table.sources, 1);
}
BENCHMARK(BM_MqttSilenceCheck)->Arg(255)->Unit(benchmark::kMicrosecond);

}  // namespace
