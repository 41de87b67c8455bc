// Each sender is its own stream: sequence, indices, serial number, counts and the ID frame a
// response answers never mix between senders.
#include <gtest/gtest.h>

#include "common/driver/controlbyte.h"
#include "tests/support/blockbuilder.h"
#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/sourcetable.h"

using busdump::DatagramDecoder;
using busdump::DecodedDatagram;
using busdump::Notice;
using busdump::Source;
using busdump::SourceTable;
using busdumptest::put_be;

namespace {

DecodedDatagram decode(const std::vector<uint8_t>& bytes) { return DatagramDecoder::decode(bytes.data(), bytes.size()); }

std::vector<Notice::Kind> kinds(const std::vector<Notice>& notices) {
    std::vector<Notice::Kind> out;
    for (const Notice& n : notices) out.push_back(n.kind);
    return out;
}

std::vector<uint8_t> lifesign_of(uint32_t serial) {
    auto record = busdumptest::make_lifesign();
    put_be(record, 19, 4, serial);
    return record;
}

std::vector<uint8_t> response(uint64_t index, std::vector<uint8_t> data) {
    return testsupport::make_record(testsupport::make_response_frame(data), index);
}

}  // namespace

TEST(SourceTable, InterleavedSendersKeepTheirOwnSequenceAndIndices) {
    SourceTable table;
    Source& a = table.find("10.0.0.1:5000");
    Source& b = table.find("10.0.0.2:5000");
    EXPECT_EQ(&table.find("10.0.0.1:5000"), &a);
    EXPECT_EQ(a.number(), 1u);
    EXPECT_EQ(b.number(), 2u);
    // Each run starts at 1 with its own indices; seen as one stream this would be a restart
    // or a gap at every turn.
    for (uint64_t sequence = 1; sequence <= 5; ++sequence) {
        auto da = decode(busdumptest::make_datagram(sequence, {busdumptest::make_id_event(sequence)}));
        auto db = decode(busdumptest::make_datagram(sequence, {busdumptest::make_id_event(1000 + sequence)}));
        const auto na = a.observe(da, static_cast<int64_t>(sequence));
        const auto nb = b.observe(db, static_cast<int64_t>(sequence));
        if (sequence == 1) {
            EXPECT_EQ(kinds(na), std::vector<Notice::Kind>{Notice::Kind::new_source});
            EXPECT_EQ(kinds(nb), std::vector<Notice::Kind>{Notice::Kind::new_source});
        } else {
            EXPECT_TRUE(na.empty() && nb.empty()) << "at sequence " << sequence;
        }
    }
    // A real loss in one stream shows in that stream only.
    auto lost = decode(busdumptest::make_datagram(8, {busdumptest::make_id_event(1008)}));
    EXPECT_EQ(kinds(b.observe(lost, 9)), (std::vector<Notice::Kind>{Notice::Kind::sequence_gap, Notice::Kind::index_gap}));
    EXPECT_EQ(a.counts().datagrams, 5u);
    EXPECT_EQ(a.counts().restarts + a.counts().sequence_gaps + a.counts().index_gaps, 0u);
    EXPECT_EQ(b.counts().datagrams, 6u);
    EXPECT_EQ(b.counts().datagrams_lost, 2u);
    EXPECT_EQ(b.counts().frames_lost, 2u);
    EXPECT_EQ(b.first_arrival_us(), 1);
    EXPECT_EQ(b.last_arrival_us(), 9);
}

TEST(SourceTable, LifesignsNameTheCardAndAChangeIsReported) {
    Source source(1, "127.0.0.1:40000");
    auto first = decode(busdumptest::make_datagram(1, {lifesign_of(0x4C530001)}));
    auto notices = source.observe(first, 0);
    ASSERT_EQ(kinds(notices), (std::vector<Notice::Kind>{Notice::Kind::new_source, Notice::Kind::card_serial}));
    EXPECT_FALSE(notices[1].had_from);
    EXPECT_EQ(notices[1].to, 0x4C530001u);
    EXPECT_EQ(source.serial(), 0x4C530001u);
    auto same = decode(busdumptest::make_datagram(2, {lifesign_of(0x4C530001)}));
    EXPECT_TRUE(source.observe(same, 0).empty()) << "the same serial again is no news";
    auto other = decode(busdumptest::make_datagram(3, {lifesign_of(0x4C530002)}));
    notices = source.observe(other, 0);
    ASSERT_EQ(kinds(notices), std::vector<Notice::Kind>{Notice::Kind::card_serial});
    EXPECT_TRUE(notices[0].had_from);
    EXPECT_EQ(notices[0].from, 0x4C530001u);
    EXPECT_EQ(source.counts().lifesigns, 3u);
}

TEST(SourceTable, AResponseNamesTheIdFrameJustBeforeItFromTheSameSender) {
    SourceTable table;
    Source& a = table.find("a:1");
    Source& b = table.find("b:1");
    // The ID frame ends one datagram, its response opens the next: still matched.
    auto d1 = decode(busdumptest::make_datagram(1, {busdumptest::make_id_event(1, 0x0202)}));
    a.observe(d1, 0);
    // Another sender's frames between them change nothing.
    auto other = decode(busdumptest::make_datagram(1, {busdumptest::make_id_event(1, 0x0303), response(2, {9})}));
    b.observe(other, 0);
    EXPECT_EQ(other.records[1].event.response_to, 0x0303);
    auto d2 = decode(busdumptest::make_datagram(2, {response(2, {1, 2}), response(3, {3})}));
    a.observe(d2, 0);
    EXPECT_EQ(d2.records[0].event.response_to, 0x0202);
    EXPECT_FALSE(d2.records[1].event.response_to) << "a response after a response answers no ID frame";
    // A frame lost between the ID frame and the response: the real ID frame may be the lost one.
    auto d3 = decode(busdumptest::make_datagram(3, {busdumptest::make_id_event(4, 0x0404), response(6, {4})}));
    a.observe(d3, 0);
    EXPECT_FALSE(d3.records[1].event.response_to);
    EXPECT_FALSE(d3.records[0].event.response_to) << "an ID frame answers nothing";
}

TEST(SourceTable, SendersBeyondTheLimitShareOneUntrackedEntry) {
    SourceTable table;
    for (std::size_t i = 0; i + 1 < SourceTable::MAX_SOURCES; ++i) table.find("10.0.0.1:" + std::to_string(i));
    Source& overflow = table.find("10.0.0.2:1");
    EXPECT_EQ(&table.find("10.0.0.2:2"), &overflow);
    EXPECT_FALSE(overflow.tracked());
    EXPECT_EQ(overflow.address(), SourceTable::OVERFLOW_NAME);
    EXPECT_EQ(table.sources().size(), SourceTable::MAX_SOURCES);
    EXPECT_TRUE(table.find("10.0.0.1:3").tracked()) << "known senders keep their entry";
    // Two mixed streams invent no loss; a malformed datagram is still reported.
    auto one = decode(busdumptest::make_datagram(1, {busdumptest::make_id_event(1)}));
    auto two = decode(busdumptest::make_datagram(7, {busdumptest::make_id_event(90)}));
    overflow.observe(one, 0);
    EXPECT_TRUE(overflow.observe(two, 0).empty());
    auto bad = decode({'L', 'S', 1});
    EXPECT_EQ(kinds(overflow.observe(bad, 0)), std::vector<Notice::Kind>{Notice::Kind::malformed});
    EXPECT_EQ(overflow.counts().malformed, 1u);
}
