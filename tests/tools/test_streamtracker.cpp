#include <gtest/gtest.h>

#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/statsmeter.h"
#include "tools/busdump/streamtracker.h"

using busdump::Notice;
using busdump::StreamTracker;
using Kind = busdump::Notice::Kind;

namespace {

// A sound datagram with one event per index given.
busdump::DecodedDatagram datagram(uint64_t sequence, std::vector<uint64_t> indices = {}) {
    std::vector<std::vector<uint8_t>> records;
    for (uint64_t index : indices) records.push_back(busdumptest::make_id_event(index));
    const auto bytes = busdumptest::make_datagram(sequence, records);
    return busdump::DatagramDecoder::decode(bytes.data(), bytes.size());
}

}  // namespace

TEST(StreamTracker, JoiningMidRunAndContinuingIsQuiet) {
    StreamTracker t;
    EXPECT_TRUE(t.observe(datagram(700, {5000, 5001})).empty());
    EXPECT_TRUE(t.observe(datagram(701, {5002})).empty());
    EXPECT_TRUE(t.observe(datagram(702)).empty());
}

TEST(StreamTracker, SequenceGapCountsTheMissingDatagrams) {
    StreamTracker t;
    t.observe(datagram(10));
    const auto notices = t.observe(datagram(13));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, Kind::sequence_gap);
    EXPECT_EQ(notices[0].from, 10u);
    EXPECT_EQ(notices[0].to, 13u);
    EXPECT_EQ(notices[0].lost, 2u);
    EXPECT_TRUE(t.observe(datagram(14)).empty());
}

TEST(StreamTracker, RestartStartsIndicesAfresh) {
    StreamTracker t;
    t.observe(datagram(5012, {90000}));
    const auto notices = t.observe(datagram(1, {1, 2}));
    ASSERT_EQ(notices.size(), 1u) << "the new run's index 1 is no index reset";
    EXPECT_EQ(notices[0].kind, Kind::restart);
    EXPECT_EQ(notices[0].from, 5012u);
    EXPECT_TRUE(t.observe(datagram(2, {3})).empty());
}

TEST(StreamTracker, SequenceBackToAnotherValue) {
    StreamTracker t;
    t.observe(datagram(50));
    const auto back = t.observe(datagram(20));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].kind, Kind::sequence_back);
    const auto repeat = t.observe(datagram(20));
    ASSERT_EQ(repeat.size(), 1u) << "a repeated sequence number is reported too";
    EXPECT_EQ(repeat[0].kind, Kind::sequence_back);
}

TEST(StreamTracker, IndexGapCountsOnlyTheMissingFrames) {
    StreamTracker t;
    t.observe(datagram(1, {40}));
    const auto notices = t.observe(datagram(2, {45, 46}));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, Kind::index_gap);
    EXPECT_EQ(notices[0].from, 40u);
    EXPECT_EQ(notices[0].to, 45u);
    EXPECT_EQ(notices[0].lost, 4u) << "frames 41 to 44";
    EXPECT_EQ(notices[0].sequence, 2u);
}

TEST(StreamTracker, IndexZeroIsNeitherCheckedNorKept) {
    StreamTracker t;
    EXPECT_TRUE(t.observe(datagram(1, {5, 0, 6})).empty());
}

TEST(StreamTracker, IndexBackWithinARun) {
    StreamTracker t;
    const auto notices = t.observe(datagram(1, {100, 3}));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, Kind::index_back);
    EXPECT_EQ(notices[0].from, 100u);
    EXPECT_EQ(notices[0].to, 3u);
    EXPECT_TRUE(t.observe(datagram(2, {4})).empty());
}

TEST(StreamTracker, GapsInBothCountersFollowStreamOrder) {
    StreamTracker t;
    t.observe(datagram(1, {10}));
    const auto notices = t.observe(datagram(3, {20}));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].kind, Kind::sequence_gap);
    EXPECT_EQ(notices[1].kind, Kind::index_gap);
    EXPECT_EQ(notices[1].lost, 9u);
}

TEST(StreamTracker, MalformedDatagramWithReadableHeaderIsNotALoss) {
    StreamTracker t;
    t.observe(datagram(1, {1}));
    auto bad = busdumptest::make_datagram(2, 5, {busdumptest::make_id_event(2)});
    const auto decoded = busdump::DatagramDecoder::decode(bad.data(), bad.size());
    const auto notices = t.observe(decoded);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, Kind::malformed);
    EXPECT_EQ(notices[0].text, decoded.error);
    const auto next = t.observe(datagram(3, {3}));
    ASSERT_EQ(next.size(), 1u) << "sequence continues; the skipped event shows as one lost frame";
    EXPECT_EQ(next[0].kind, Kind::index_gap);
    EXPECT_EQ(next[0].lost, 1u);
}

TEST(StreamTracker, UnreadableHeaderLeavesTheSequenceAlone) {
    StreamTracker t;
    t.observe(datagram(1));
    const std::vector<uint8_t> garbage = {'X', 'Y', 1, 0};
    const auto notices = t.observe(busdump::DatagramDecoder::decode(garbage.data(), garbage.size()));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, Kind::malformed);
    EXPECT_TRUE(t.observe(datagram(2)).empty());
}

// A forged or corrupted number leaps no loss into the counts, however far it goes either way;
// a gateway's new port starts a new run even where its sequence goes forward.
TEST(StreamTracker, LeapsAndNewPortsAreRunsNotLosses) {
    StreamTracker t;
    busdump::StatsMeter::Counts counts;
    const auto step = [&](uint64_t sequence, std::vector<uint64_t> indices) {
        const auto d = datagram(sequence, indices);
        const auto notices = t.observe(d);
        busdump::StatsMeter::add(counts, d, notices);
        return notices.empty() ? Kind::malformed : notices[0].kind;
    };
    step(1, {1});
    EXPECT_EQ(step(10228420166847178030ull, {2}), Kind::sequence_jump);
    EXPECT_EQ(step(3, {3}), Kind::sequence_back);
    EXPECT_EQ(step(UINT64_MAX, {4}), Kind::sequence_jump);
    EXPECT_EQ(step(5, {UINT64_MAX}), Kind::sequence_back);
    EXPECT_EQ(step(6, {7}), Kind::index_back) << "an index leap is no loss of frames either";
    EXPECT_EQ(step(6 + StreamTracker::MAX_GAP, {8}), Kind::sequence_gap) << "up to MAX_GAP it is a loss";
    EXPECT_EQ(counts.datagrams_lost, StreamTracker::MAX_GAP - 1);
    EXPECT_EQ(counts.frames_lost, 0u);
    EXPECT_EQ(counts.restarts, 4u);
    t.begin_run();
    EXPECT_EQ(step(10 + StreamTracker::MAX_GAP, {9}), Kind::restart) << "a new port: forward is no loss";
    EXPECT_EQ(counts.datagrams_lost, StreamTracker::MAX_GAP - 1);
    t.begin_run();
    EXPECT_EQ(step(11 + StreamTracker::MAX_GAP, {10}), Kind::malformed) << "no notice: the sequence continues";
}
