// busgated for a long run on a faulty simulated bus, sending to a receiver that goes away for a
// while: the gateway keeps running, its memory stays flat, every event index is either received
// or accounted for as lost, and its lifesign figures match what arrived, to the unit.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <set>
#include <sstream>
#include <thread>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "common/stream/lifesignrecord.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayoutput.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/integration/support/rsssampler.h"
#include "tests/support/scratchdirectory.h"

using namespace std::chrono_literals;
using integration::DatagramReceiver;
using integration::GatewayProcess;
using Clock = std::chrono::steady_clock;
using integration::ReceivedDatagram;

namespace {

// A few percent of every other fault. Index gaps come about once in two seconds: the gateway
// writes at most a few frame loss lines a second, and the accounting below needs every gap's
// line (a "left out" summary would hide where the gaps were).
#if defined(BUSGATE_TESTS_UNDER_EMULATOR)
// Under Wine every datagram costs about ten times a native send and receive: a quarter of the
// sanitizers' rate keeps the receiver from losing datagrams outside the pause.
const char* const FAULTY_BUS = "fcs_err=0.03,loss=0.0002,status_err=0.03,unknown=0.03,seed=4242,bitrate=250000";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// About 9 000 frames/s: an instrumented receiver beside an instrumented gateway on a shared
// machine must not lose datagrams outside the pause.
const char* const FAULTY_BUS = "fcs_err=0.03,loss=0.00005,status_err=0.03,unknown=0.03,seed=4242,bitrate=1000000";
#else
const char* const FAULTY_BUS = "fcs_err=0.03,loss=0.00002,status_err=0.03,unknown=0.03,seed=4242";
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own bookkeeping (shadow memory, allocation history) grows with the traffic.
constexpr long RSS_MARGIN_KIB = 48 << 10;
constexpr long RSS_TREND_KIB = 24 << 10;
#else
// Once warm, what moves is the allocator's free lists and the queue's mapped pages during a
// burst: a few MiB. A leak of one record per event would pass that in a second.
constexpr long RSS_MARGIN_KIB = 4 << 10;
constexpr long RSS_TREND_KIB = 2 << 10;
#endif
constexpr std::size_t RSS_WARMUP_SAMPLES = 5;

int soak_seconds() {
    const char* text = std::getenv("BUSGATE_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 60;
    return std::max(seconds, 12);
}

// The counters a lifesign carries about event records, as the receiver can also work them out.
struct Tally {
    uint64_t frames = 0, fcs = 0, unknown = 0, b0 = 0, b12 = 0, b3 = 0;

    void add(const Tally& o) {
        frames += o.frames, fcs += o.fcs, unknown += o.unknown, b0 += o.b0, b12 += o.b12, b3 += o.b3;
    }
    Tally minus(const Tally& o) const {
        return {frames - o.frames, fcs - o.fcs, unknown - o.unknown, b0 - o.b0, b12 - o.b12, b3 - o.b3};
    }
    bool operator==(const Tally& o) const {
        return frames == o.frames && fcs == o.fcs && unknown == o.unknown && b0 == o.b0 && b12 == o.b12 && b3 == o.b3;
    }
};

std::ostream& operator<<(std::ostream& out, const Tally& t) {
    return out << "{frames " << t.frames << ", fcs " << t.fcs << ", unknown " << t.unknown << ", b0 " << t.b0
               << ", b12 " << t.b12 << ", b3 " << t.b3 << "}";
}

// An independent reading of one record, from the shared frame rules.
Tally tally_of_event(const linkscope::EventRecord& event) {
    Tally t;
    t.frames = 1;
    const uint16_t status = event.status();
    t.b0 = (status & linkscope::STATUS_BIT0) != 0;
    t.b12 = (status & (linkscope::STATUS_BIT1 | linkscope::STATUS_BIT2)) != 0;
    t.b3 = (status & linkscope::STATUS_BIT3) != 0;
    const std::size_t n = event.frame_length();
    if (n == 0) return t;
    if (!linkscope::ControlByte::is_known(event.frame()[0]))
        t.unknown = 1;
    else if (!linkscope::FrameCheck::frame_is_correct(event.fcs_mode(), event.frame(), n))
        t.fcs = 1;
    return t;
}

struct ReceivedEvent {
    uint64_t sequence;
    uint64_t index;
    Tally tally;
};

struct ReceivedLifesign {
    uint64_t sequence;
    uint32_t counter;
    Tally figures;
    uint64_t pdu_type_err;
    uint64_t length_err;
};

ReceivedLifesign read_lifesign(uint64_t sequence, const std::vector<uint8_t>& r) {
    using namespace lifesign;
    using linkscope::load_be32;
    using linkscope::load_be64;
    ReceivedLifesign l{sequence, load_be32(&r[OFF_COUNTER]), {}, 0, 0};
    l.figures = {load_be32(&r[OFF_CARD_FRAME_RCVD_CNT]), load_be64(&r[OFF_FCS_ERR_CNT]),
                 load_be64(&r[OFF_UNKNOWN_CTRL_CNT]),   load_be64(&r[OFF_STATUS_B0_CNT]),
                 load_be64(&r[OFF_STATUS_B12_CNT]),     load_be64(&r[OFF_STATUS_B3_CNT])};
    l.pdu_type_err = load_be64(&r[OFF_PDU_TYPE_ERR_CNT]);
    l.length_err = load_be64(&r[OFF_LENGTH_ERR_CNT]);
    return l;
}

class SoakRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(integration::busgated_path().empty()) << "BUSGATED is not set"; }

    void take(ReceivedDatagram& d) {
        ASSERT_EQ(d.record_count, 1u) << "max_evt 1: one record a datagram";
        ASSERT_GT(d.sequence, last_sequence_) << "datagrams out of order";
        if (d.sequence - last_sequence_ > 1 && sequence_gaps_ == 0) events_before_loss_ = events_.size();
        sequence_gaps_ += d.sequence - last_sequence_ - 1;
        if (d.sequence - last_sequence_ > 1 && Clock::now() > resumed_at_ + 2s) ++late_gaps_;
        last_sequence_ = d.sequence;
        const auto& r = d.records[0];
        if (r[0] == DatagramReceiver::LIFESIGN_RECORD_TYPE) {
            ASSERT_EQ(r.size(), lifesign::RECORD_SIZE);
            lifesigns_.push_back(read_lifesign(d.sequence, r));
            return;
        }
        ASSERT_EQ(r[0], DatagramReceiver::EVENT_RECORD_TYPE);
        ASSERT_TRUE(linkscope::EventRecord::is_well_formed(r.data(), r.size()));
        const linkscope::EventRecord event(r.data(), r.size());
        if (!events_.empty()) {
            ASSERT_GT(event.index(), events_.back().index) << "indices out of order";
        }
        events_.push_back({d.sequence, event.index(), tally_of_event(event)});
    }

    testsupport::ScratchDirectory dir_{"busgate-soak"};
    const std::string buffer_ = dir_ / "buffer.bin";
    DatagramReceiver receiver_;
    std::vector<ReceivedEvent> events_;
    std::vector<ReceivedLifesign> lifesigns_;
    uint64_t last_sequence_ = 0;
    uint64_t sequence_gaps_ = 0;
    std::size_t late_gaps_ = 0;
    std::size_t events_before_loss_ = 0;
    Clock::time_point resumed_at_ = Clock::time_point::max() - 1h;
};

TEST_F(SoakRun, FaultyBusAndVanishingReceiverLoseNothingUnaccounted) {
    const int seconds = soak_seconds();
    const auto pause_length = std::chrono::seconds(std::min(10, seconds / 4));
    std::map<std::string, std::string> env{{"LINKSCOPE_SIM", FAULTY_BUS}, {"LINKSCOPE_LOCK_DIR", dir_ / "locks"}};
#ifdef __SANITIZE_ADDRESS__
    // Freed memory waits in quarantine up to 256 MiB by default: the RSS would climb for minutes.
    env["ASAN_OPTIONS"] = std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                          ":quarantine_size_mb=16";
#endif
    GatewayProcess gateway(integration::busgated_path(),
                           {"-a", "127.0.0.1", "-p", std::to_string(receiver_.port()), "-B", buffer_, "-M", "1"}, env);
    {
        auto first = receiver_.receive(10s);
        ASSERT_TRUE(first) << gateway.stdout_text() << gateway.stderr_text();
        take(*first);
    }
    integration::RssSampler rss(gateway.pid(), 1s);
    const auto start = Clock::now();
    const auto pause_at = start + std::chrono::seconds(seconds) * 2 / 5;
    const auto end = start + std::chrono::seconds(seconds);
    bool paused_once = false;
    std::size_t silences = 0;
    while (Clock::now() < end) {
        if (!paused_once && Clock::now() >= pause_at) {
            receiver_.pause();
            std::this_thread::sleep_for(pause_length);
            receiver_.resume();
            resumed_at_ = Clock::now();
            paused_once = true;
        }
        auto d = receiver_.receive(2s);
        if (!d) {
            ++silences;
            continue;
        }
        take(*d);
        if (HasFatalFailure()) return;
    }
    rss.stop();
    const std::vector<long> samples = rss.samples_kib();

    const auto signalled = Clock::now();
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    const int status = gateway.wait_exit(5s);
    const auto took = Clock::now() - signalled;
    while (auto d = receiver_.receive(300ms)) {
        take(*d);
        if (HasFatalFailure()) return;
    }
    const std::string out = gateway.stdout_text();

    // Alive to the end, and a clean stop.
    EXPECT_EQ(status, 0) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_LT(took, 1500ms);
    EXPECT_EQ(gateway.stderr_text(), "");
    EXPECT_FALSE(std::filesystem::exists(buffer_));
    EXPECT_NE(out.find("SIGINT signal received\n"), std::string::npos);
    EXPECT_NE(out.find("linkscope interrupt handler is closed\n"), std::string::npos);
    EXPECT_EQ(out.find("[error]"), std::string::npos);
    ASSERT_EQ(out.find("fip frame loss: "), std::string::npos) << "frame loss lines were left out: the gaps are not all known";
    EXPECT_EQ(silences, 0u) << "the stream stopped while the receiver was there";
    EXPECT_EQ(receiver_.malformed(), 0u) << receiver_.last_error();

    // Flat memory after the warm-up: no sample beyond the margin above the first, no upward trend.
    std::ostringstream shown;
    for (long kib : samples) shown << kib << " ";
    ASSERT_GT(samples.size(), RSS_WARMUP_SAMPLES + 6) << shown.str();
    const std::vector<long> warm(samples.begin() + RSS_WARMUP_SAMPLES, samples.end());
    const long base = warm.front();
    EXPECT_LE(*std::max_element(warm.begin(), warm.end()) - base, RSS_MARGIN_KIB) << shown.str();
    const std::size_t third = warm.size() / 3;
    const auto mean = [](auto from, auto to) {
        return std::accumulate(from, to, 0.0) / static_cast<double>(std::distance(from, to));
    };
    EXPECT_LE(mean(warm.end() - third, warm.end()) - mean(warm.begin(), warm.begin() + third), RSS_TREND_KIB)
        << shown.str();
    std::printf("RSS KiB: %s\n", shown.str().c_str());

    // Exact accounting of every index up to the last one received. The three ways to lose a record
    // show differently: a card gap in the indices and a "fip frame loss" line; a refused record in
    // the indices or the lifesign numbers and in the dropped count; a lost datagram in the
    // sequence numbers and in the indices or the lifesign numbers.
    ASSERT_FALSE(events_.empty());
    ASSERT_FALSE(lifesigns_.empty());
    // A receiver starved of CPU may lose datagrams out of the pause too; they are accounted all the same.
    EXPECT_GT(sequence_gaps_, 0u) << "the pause lost nothing: the receiver did not go away";
    const integration::GatewayOutput log(out);
    const auto gaps = log.frame_losses();
    const uint64_t last_index = events_.back().index;
    uint64_t card_lost = 0;
    for (const auto& [last, next] : gaps)
        if (next <= last_index) card_lost += next - last - 1;
    uint64_t index_gaps = 0, previous_index = 0;
    for (const auto& e : events_) index_gaps += e.index - previous_index - 1, previous_index = e.index;
    uint64_t lifesign_gaps = 0, previous_counter = 0;
    for (const auto& l : lifesigns_) {
        ASSERT_GT(l.counter, previous_counter);
        lifesign_gaps += l.counter - previous_counter - 1;
        previous_counter = l.counter;
    }
    const uint64_t dropped = log.dropped_records();
    EXPECT_EQ(index_gaps - card_lost + lifesign_gaps, dropped + sequence_gaps_)
        << "index gaps " << index_gaps << ", card lost " << card_lost << ", lifesign gaps " << lifesign_gaps
        << ", dropped " << dropped << ", datagrams lost " << sequence_gaps_;
    EXPECT_GT(card_lost, 0u) << "the bus model lost no frame";

    // Before the pause nothing else is lost: the index gaps are exactly the card's.
    ASSERT_GT(events_before_loss_, 1u);
    std::set<std::pair<uint64_t, uint64_t>> seen_before_pause;
    for (std::size_t i = 1; i < events_before_loss_; ++i)
        if (events_[i].index != events_[i - 1].index + 1) seen_before_pause.emplace(events_[i - 1].index, events_[i].index);
    std::set<std::pair<uint64_t, uint64_t>> logged_before_pause;
    for (const auto& g : gaps)
        if (g.second <= events_[events_before_loss_ - 1].index) logged_before_pause.insert(g);
    EXPECT_EQ(seen_before_pause, logged_before_pause);

    // The lifesign figures, lifesign against lifesign: where every record counted between two of them
    // arrived, the gateway's counts rose by what the receiver tallied. A record's place among the
    // records the card delivered is its index less the card's gaps before it.
    std::vector<uint64_t> place;
    std::vector<Tally> upto(1);
    uint64_t lost_before = 0;
    std::size_t next_gap = 0;
    for (const auto& e : events_) {
        for (; next_gap < gaps.size() && gaps[next_gap].second <= e.index; ++next_gap)
            lost_before += gaps[next_gap].second - gaps[next_gap].first - 1;
        place.push_back(e.index - lost_before);
        upto.push_back(upto.back()), upto.back().add(e.tally);
    }
    const auto received_upto = [&](uint64_t p) {
        return static_cast<std::size_t>(std::upper_bound(place.begin(), place.end(), p) - place.begin());
    };
    Tally before;
    std::size_t checked = 0, skipped = 0;
    bool last_checked = false;
    for (const auto& l : lifesigns_) {
        ASSERT_GE(l.figures.frames, before.frames);
        const std::size_t from = received_upto(before.frames), to = received_upto(l.figures.frames);
        last_checked = to - from == l.figures.frames - before.frames;
        if (last_checked) {
            ++checked;
            EXPECT_EQ(upto[to].minus(upto[from]), l.figures.minus(before)) << "lifesign " << l.counter;
            if (to > 0) {
                EXPECT_LT(events_[to - 1].sequence, l.sequence) << "counted before it was queued";
            }
        } else {
            ++skipped;
        }
        before = l.figures;
    }
    EXPECT_TRUE(last_checked) << "the last lifesign's window lost records";
    EXPECT_LE(skipped, lifesigns_.size() / 4) << checked << " checked";
    // The bus model's frames are valid for their control byte: no PDU or length fault.
    EXPECT_EQ(lifesigns_.back().pdu_type_err, 0u);
    EXPECT_EQ(lifesigns_.back().length_err, 0u);

    std::ostringstream last_figures;
    last_figures << lifesigns_.back().figures;
    std::printf("%d s: %zu events, %zu lifesigns received; card lost %llu in %zu gaps; %llu datagrams lost; "
                "%llu dropped; %zu gaps out of the pause; lifesign windows checked %zu, skipped %zu; last lifesign %s\n",
                seconds, events_.size(), lifesigns_.size(), static_cast<unsigned long long>(card_lost), gaps.size(),
                static_cast<unsigned long long>(sequence_gaps_), static_cast<unsigned long long>(dropped), late_gaps_, checked,
                skipped, last_figures.str().c_str());
}

}  // namespace
