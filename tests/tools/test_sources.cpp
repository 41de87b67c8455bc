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

// One datagram from address:port into the table: the notices it gave, and the sender's number.
struct Seen {
    std::vector<Notice> notices;
    unsigned number = 0;
};

Seen send(SourceTable& table, const std::string& address, uint16_t port, const std::vector<uint8_t>& bytes,
          int64_t at_us = 0) {
    DecodedDatagram datagram = decode(bytes);
    Seen seen;
    seen.number = table.observe(address, port, datagram, at_us, seen.notices).number();
    return seen;
}

}  // namespace

TEST(SourceTable, InterleavedSendersKeepTheirOwnSequenceAndIndices) {
    SourceTable table;
    // Each run starts at 1 with its own indices; seen as one stream this would be a restart
    // or a gap at every turn.
    for (uint64_t sequence = 1; sequence <= 5; ++sequence) {
        const Seen a = send(table, "10.0.0.1", 5000, busdumptest::make_datagram(sequence, {busdumptest::make_id_event(sequence)}),
                            static_cast<int64_t>(sequence));
        const Seen b = send(table, "10.0.0.2", 5000,
                            busdumptest::make_datagram(sequence, {busdumptest::make_id_event(1000 + sequence)}),
                            static_cast<int64_t>(sequence));
        EXPECT_EQ(a.number, 1u);
        EXPECT_EQ(b.number, 2u);
        if (sequence == 1) {
            EXPECT_EQ(kinds(a.notices), std::vector<Notice::Kind>{Notice::Kind::new_source});
            EXPECT_EQ(kinds(b.notices), std::vector<Notice::Kind>{Notice::Kind::new_source});
        } else {
            EXPECT_TRUE(a.notices.empty() && b.notices.empty()) << "at sequence " << sequence;
        }
    }
    // A real loss in one stream shows in that stream only.
    const Seen lost = send(table, "10.0.0.2", 5000, busdumptest::make_datagram(8, {busdumptest::make_id_event(1008)}), 9);
    EXPECT_EQ(kinds(lost.notices), (std::vector<Notice::Kind>{Notice::Kind::sequence_gap, Notice::Kind::index_gap}));
    const Source& a = *table.sources()[0];
    const Source& b = *table.sources()[1];
    EXPECT_EQ(a.counts().datagrams, 5u);
    EXPECT_EQ(a.counts().restarts + a.counts().sequence_gaps + a.counts().index_gaps, 0u);
    EXPECT_EQ(b.counts().datagrams, 6u);
    EXPECT_EQ(b.counts().datagrams_lost, 2u);
    EXPECT_EQ(b.counts().frames_lost, 2u);
    EXPECT_EQ(b.first_arrival_us(), 1);
    EXPECT_EQ(b.last_arrival_us(), 9);
}

TEST(SourceTable, LifesignsNameTheCardAndAChangeIsReported) {
    Source source(1, busdump::SenderId("127.0.0.1", 40000));
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
    Source a(1, busdump::SenderId("10.0.0.1", 1));
    Source b(2, busdump::SenderId("10.0.0.2", 1));
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

TEST(SourceTable, SendersBeyondTheLimitShareOneEntryUntilSilentOnesAreRetired) {
    SourceTable table;
    const auto datagram = [](uint64_t sequence, uint64_t index) {
        return busdumptest::make_datagram(sequence, {busdumptest::make_id_event(index)});
    };
    for (uint16_t port = 1; port < SourceTable::MAX_SOURCES; ++port) send(table, "10.0.0.1", port, datagram(1, 1), 0);
    EXPECT_EQ(table.active(), SourceTable::MAX_SOURCES - 1);
    // All of them heard just now: a flood, which one untracked entry takes.
    const Seen flood = send(table, "10.0.0.2", 1, datagram(1, 1), 1000);
    const Source& overflow = *table.sources().back();
    EXPECT_EQ(flood.number, overflow.number());
    EXPECT_FALSE(overflow.tracked());
    EXPECT_EQ(overflow.address(), SourceTable::OVERFLOW_NAME);
    EXPECT_EQ(send(table, "10.0.0.1", 3, datagram(2, 2), 2000).number, 3u) << "known senders keep their entry";
    // Mixed streams invent no loss and name no card; a malformed datagram is still reported.
    EXPECT_TRUE(send(table, "10.0.0.2", 2, datagram(7, 90), 3000).notices.empty());
    EXPECT_TRUE(send(table, "10.0.0.3", 1, busdumptest::make_datagram(1, {lifesign_of(0x4C530001)}), 3000).notices.empty());
    EXPECT_TRUE(send(table, "10.0.0.3", 2, busdumptest::make_datagram(1, {lifesign_of(0x4C530002)}), 3000).notices.empty());
    EXPECT_FALSE(overflow.serial()) << "the shared entry names no card";
    EXPECT_EQ(kinds(send(table, "10.0.0.2", 3, {'L', 'S', 1}, 3000).notices),
              std::vector<Notice::Kind>{Notice::Kind::malformed});
    EXPECT_EQ(overflow.counts().malformed, 1u);

    // Once the crowd has been silent long enough, a new sender is followed on its own again,
    // and the retired ones keep their totals for the end.
    const int64_t later = SourceTable::RETIRE_AFTER_US + 3000;
    const Seen fresh = send(table, "10.0.0.9", 1, datagram(1, 1), later);
    EXPECT_TRUE(table.sources().back()->tracked());
    EXPECT_EQ(kinds(fresh.notices), std::vector<Notice::Kind>{Notice::Kind::new_source});
    EXPECT_EQ(kinds(send(table, "10.0.0.9", 1, datagram(3, 3), later).notices),
              (std::vector<Notice::Kind>{Notice::Kind::sequence_gap, Notice::Kind::index_gap}));
    EXPECT_EQ(table.active(), 1u);
    EXPECT_EQ(table.sources().size(), SourceTable::MAX_SOURCES + 1);
    EXPECT_EQ(table.sources()[2]->counts().datagrams, 2u);
    // A retired sender that speaks again is the one it was.
    EXPECT_TRUE(send(table, "10.0.0.1", 3, datagram(3, 3), later).notices.empty());
    EXPECT_EQ(table.active(), 2u);
}

TEST(SourceTable, AGatewayThatRestartsOnANewPortStaysOneSender) {
    SourceTable table;
    const auto run_start = [](uint64_t index, uint32_t serial) {
        return busdumptest::make_datagram(1, {lifesign_of(serial), busdumptest::make_id_event(index)});
    };
    EXPECT_EQ(kinds(send(table, "10.0.0.1", 40000, run_start(1, 0x4C530001)).notices),
              (std::vector<Notice::Kind>{Notice::Kind::new_source, Notice::Kind::card_serial}));
    send(table, "10.0.0.1", 40000, busdumptest::make_datagram(2, {busdumptest::make_id_event(2)}));
    // Another gateway on the same host, another card: another sender.
    const Seen other = send(table, "10.0.0.1", 40001, run_start(1, 0x4C530002));
    EXPECT_EQ(other.number, 2u);
    EXPECT_EQ(kinds(other.notices), (std::vector<Notice::Kind>{Notice::Kind::new_source, Notice::Kind::card_serial}));

    // The first gateway again, from a new port; its lifesign comes first.
    const Seen restart = send(table, "10.0.0.1", 40002, run_start(1, 0x4C530001));
    EXPECT_EQ(restart.number, 1u);
    ASSERT_EQ(kinds(restart.notices), std::vector<Notice::Kind>{Notice::Kind::restart});
    EXPECT_EQ(restart.notices[0].port, 40002u);
    EXPECT_EQ(restart.notices[0].from, 2u);
    // Its counts and its stream go on: a loss in the new run is still told.
    EXPECT_EQ(kinds(send(table, "10.0.0.1", 40002, busdumptest::make_datagram(3, {busdumptest::make_id_event(5)})).notices),
              (std::vector<Notice::Kind>{Notice::Kind::sequence_gap, Notice::Kind::index_gap}));

    // A run whose first datagram holds no lifesign is a sender of its own only until its
    // lifesign names the card: then it joins the gateway, with one restart, and its number is free.
    const Seen unnamed = send(table, "10.0.0.1", 40003, busdumptest::make_datagram(1, {busdumptest::make_id_event(1)}));
    EXPECT_EQ(unnamed.number, 3u);
    EXPECT_TRUE(unnamed.notices.empty()) << "not announced before its lifesign";
    const Seen named = send(table, "10.0.0.1", 40003,
                            busdumptest::make_datagram(2, {lifesign_of(0x4C530001), busdumptest::make_id_event(2)}));
    EXPECT_EQ(named.number, 1u);
    ASSERT_EQ(kinds(named.notices), std::vector<Notice::Kind>{Notice::Kind::restart});
    EXPECT_EQ(named.notices[0].port, 40003u);
    EXPECT_EQ(named.notices[0].to, 1u) << "the run's first sequence";
    EXPECT_EQ(send(table, "10.0.0.1", 40009, busdumptest::make_datagram(1, {busdumptest::make_id_event(1)})).number, 3u);

    ASSERT_EQ(table.sources().size(), 3u);
    const Source& gateway = *table.sources()[0];
    EXPECT_EQ(gateway.address(), "10.0.0.1:40003");
    EXPECT_EQ(gateway.id().key(), "10.0.0.1 sn 0x4c530001");
    EXPECT_EQ(gateway.counts().datagrams, 6u);
    EXPECT_EQ(gateway.counts().restarts, 2u);
    EXPECT_EQ(gateway.counts().datagrams_lost, 1u);
    EXPECT_EQ(gateway.counts().lifesigns, 3u);
}
