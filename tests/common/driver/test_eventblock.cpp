#include <gtest/gtest.h>

#include <vector>

#include "common/driver/continuity.h"
#include "common/driver/eventblock.h"
#include "tests/support/blockbuilder.h"

using namespace linkscope;
using testsupport::BlockBuilder;
using testsupport::make_frame;
using testsupport::make_record;

namespace {

std::vector<uint64_t> walk_indices(const std::vector<uint8_t>& block) {
    std::vector<uint64_t> indices;
    EventBlock(block.data()).walk([&](const EventRecord& r) { indices.push_back(r.index()); });
    return indices;
}

// A record of exactly `length` bytes (frame of length - 30 bytes).
std::vector<uint8_t> record_of_length(std::size_t length, uint64_t index) {
    std::vector<uint8_t> frame(length - EVT_HEADER_SIZE, 0x55);
    return make_record(frame, index);
}

}  // namespace

TEST(EventBlock, FlagsSelectWhetherTheAreaHoldsEvents) {
    for (uint32_t flags : {0u, 0x1u, 0x20000000u}) EXPECT_FALSE(EventBlock(BlockBuilder(flags).build().data()).carries_events());
    for (uint32_t flags : {BLOCK_FLAG_EVENTS_A, BLOCK_FLAG_EVENTS_B, BLOCK_FLAG_EVENTS_A | BLOCK_FLAG_EVENTS_B})
        EXPECT_TRUE(EventBlock(BlockBuilder(flags).build().data()).carries_events());
}

TEST(EventBlock, WalksRecordsInOrder) {
    BlockBuilder b;
    for (uint64_t i = 41; i <= 43; ++i) ASSERT_TRUE(b.add(make_record(make_frame(0x03, {0x90, 0x80}), i)));
    EXPECT_EQ(walk_indices(b.build()), (std::vector<uint64_t>{41, 42, 43}));
}

TEST(EventBlock, NoMarkerAtTheStartYieldsNothing) {
    BlockBuilder b;
    b.add({0xC1, 0x00, 0x20});
    EXPECT_TRUE(walk_indices(b.build()).empty());
}

TEST(EventBlock, StopsAtBadMarkerAndShortLength) {
    BlockBuilder b;
    b.add(make_record(make_frame(0x03, {0x90, 0x80}), 1));
    b.add({0x00});
    b.add(make_record(make_frame(0x03, {0x90, 0x80}), 2));
    EXPECT_EQ(walk_indices(b.build()), (std::vector<uint64_t>{1}));

    BlockBuilder short_length;
    short_length.add(make_record(make_frame(0x03, {0x90, 0x80}), 1));
    auto bad = record_of_length(40, 2);
    bad[1] = 0x00;
    bad[2] = 29;  // below the header size
    short_length.add(bad);
    EXPECT_EQ(walk_indices(short_length.build()), (std::vector<uint64_t>{1}));
}

TEST(EventBlock, RecordsFillingTheAreaExactlyAreAllDelivered) {
    BlockBuilder b;
    // 32768 = 127 * 256 + 256: 128 records of 256 bytes.
    for (uint64_t i = 1; i <= 128; ++i) ASSERT_TRUE(b.add(record_of_length(256, i)));
    EXPECT_EQ(b.used(), EVENT_AREA_SIZE);
    EXPECT_EQ(walk_indices(b.build()).size(), 128u);
}

TEST(EventBlock, RecordOverrunningTheAreaEndsTheWalk) {
    BlockBuilder b;
    for (uint64_t i = 1; i <= 127; ++i) ASSERT_TRUE(b.add(record_of_length(256, i)));
    // The last record claims 257 bytes: the sum would be 32769.
    auto last = record_of_length(255, 128);
    last[1] = 0x01;
    last[2] = 0x01;
    ASSERT_TRUE(b.add(last));
    auto block = b.build();
    EXPECT_EQ(walk_indices(block).size(), 127u);
}

TEST(EventBlock, MarkerInTheLastBytesIsNotReadPastTheBlock) {
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE, 0);
    block[0] = 0x80;  // bit 31 in the little-endian flags word... byte 3 holds it
    block[3] = 0x80;
    // Fill the area with one record of 32767 bytes so the next marker sits in the last byte.
    BlockBuilder b;
    b.add(record_of_length(EVENT_AREA_SIZE - 1, 1));
    b.add({0xC0});
    block = b.build();
    std::vector<uint64_t> seen_indices;
    const std::size_t delivered = EventBlock(block.data()).walk([](const EventRecord&) {},
                                                                [&](uint64_t i) { seen_indices.push_back(i); });
    EXPECT_EQ(delivered, 1u);
    EXPECT_EQ(seen_indices, (std::vector<uint64_t>{1}));
}

TEST(EventBlock, IndexOfARefusedRecordIsStillSeen) {
    BlockBuilder b;
    auto bad = record_of_length(40, 7);
    bad[2] = 10;  // length 10: refused
    b.add(bad);
    std::vector<uint64_t> seen;
    EventBlock(b.build().data()).walk([](const EventRecord&) { FAIL(); }, [&](uint64_t i) { seen.push_back(i); });
    EXPECT_EQ(seen, (std::vector<uint64_t>{7}));
}

TEST(Continuity, GapCountsOneDiscontinuityWithTheFullDifference) {
    Continuity c;
    c.check(5);  // first index after start: compared with 0
    EXPECT_EQ(c.discontinuities(), 1u);
    EXPECT_EQ(c.check(6), 0u);
    EXPECT_EQ(c.check(8), 2u);
    EXPECT_EQ(c.discontinuities(), 2u);
    EXPECT_EQ(c.lost_total(), 5u + 2u);
    EXPECT_EQ(c.missing_total(), 4u + 1u) << "frames 1 to 4 and 7 were never seen";
}

TEST(Continuity, IndexZeroIsNeitherCheckedNorKept) {
    Continuity c;
    c.check(1);
    EXPECT_EQ(c.check(0), 0u);
    EXPECT_EQ(c.check(2), 0u);
    EXPECT_EQ(c.discontinuities(), 0u);
    EXPECT_EQ(c.last_index(), 2u);
}

TEST(Continuity, IndexThatGoesBackOrRepeatsIsARestartThatLosesNothing) {
    Continuity c;
    c.check(1);
    EXPECT_EQ(c.check(10), 9u);
    EXPECT_EQ(c.check(3), 0u);  // a reset of the card: counted, never a wrapped difference
    EXPECT_EQ(c.check(3), 0u);
    EXPECT_EQ(c.discontinuities(), 3u);
    EXPECT_EQ(c.lost_total(), 9u);
    EXPECT_EQ(c.missing_total(), 8u);
    EXPECT_EQ(c.last_index(), 3u);
    EXPECT_EQ(c.check(4), 0u);  // the new count goes on from the restart
    EXPECT_EQ(c.discontinuities(), 3u);
    EXPECT_EQ(Continuity::signed_difference(10, 3), -7);
}
