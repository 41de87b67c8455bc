// Every loss of a sender charged to one stage: the gateway's loss records read as differences
// across joins and restarts, a datagram gap split by what explains it, the frames of lost
// datagrams not charged again, and this host's drops charged to the gaps they made.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/datagrambytes.h"
#include "tools/busdump/busdump.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/lossstages.h"
#include "tools/busdump/sourcetable.h"

using busdump::LossStages;
using busdumptest::make_datagram;
using busdumptest::make_id_event;
using Datagram = std::vector<uint8_t>;

namespace {

// A loss record as the documented layout has it, byte by byte: type 0xC2, length 47, counter,
// creation time, then the card's frames, the queue's refusals, the failed datagrams and records.
Datagram loss(uint32_t counter, uint64_t card, uint64_t queue, uint64_t datagrams, uint64_t records) {
    Datagram record(47, 0);
    record[0] = 0xC2;
    busdumptest::put_be(record, 1, 2, 47);
    busdumptest::put_be(record, 3, 4, counter);
    busdumptest::put_be(record, 15, 8, card);
    busdumptest::put_be(record, 23, 8, queue);
    busdumptest::put_be(record, 31, 8, datagrams);
    busdumptest::put_be(record, 39, 8, records);
    return record;
}

Datagram spoiled_header(Datagram datagram) {
    datagram[0] = 'X';
    return datagram;
}

Datagram spoiled_record(Datagram datagram) {
    busdumptest::put_be(datagram, 17, 2, 0xFFFF);  // the first record runs past the end
    return datagram;
}

LossStages stages_of(const std::vector<Datagram>& stream) {
    busdump::SourceTable table;
    const busdump::Source* source = nullptr;
    for (const Datagram& bytes : stream) {
        busdump::DecodedDatagram datagram = busdump::DatagramDecoder::decode(bytes.data(), bytes.size());
        std::vector<busdump::Notice> notices;
        source = &table.observe("10.0.0.1", 5000, datagram, 0, notices);
    }
    return LossStages::of(source->counts());
}

std::vector<uint64_t> values(const LossStages& stages) {
    std::vector<uint64_t> out;
    stages.for_each([&out](const char*, uint64_t lost) { out.push_back(lost); });
    return out;
}

struct StagesCase {
    const char* name;
    std::vector<Datagram> stream;
    // card, gateway_queue, gateway_send, network, receiver, malformed
    std::vector<uint64_t> expected;
};

class ChargedStages : public ::testing::TestWithParam<StagesCase> {};

TEST_P(ChargedStages, EachLossInOneStage) { EXPECT_EQ(values(stages_of(GetParam().stream)), GetParam().expected); }

const StagesCase STAGES_CASES[] = {
    {"FirstRecordOfARunCountsFromZero", {make_datagram(1, {loss(1, 3, 4, 0, 0)})}, {3, 4, 0, 0, 0, 0}},
    {"JoiningARunTheFirstRecordIsTheBaseline",
     {make_datagram(7, {loss(5, 10, 10, 2, 20)}), make_datagram(8, {loss(6, 12, 11, 2, 20)})},
     {2, 1, 0, 0, 0, 0}},
    {"ARestartCountsFromZeroAgain",
     {make_datagram(1, {loss(1, 0, 0, 0, 0)}), make_datagram(2, {loss(2, 5, 0, 0, 0)}),
      make_datagram(1, {loss(1, 2, 0, 0, 0)})},
     {7, 0, 0, 0, 0, 0}},
    {"ASequenceJumpIsNoNewRun",
     {make_datagram(1, {loss(1, 0, 0, 0, 0)}), make_datagram(2, {loss(2, 5, 0, 0, 0)}),
      make_datagram(1ull << 40, {loss(3, 6, 0, 0, 0)})},
     {6, 0, 0, 0, 0, 0}},
    {"CountsGoingBackAreANewRunTheSequenceDidNotTell",
     {make_datagram(1, {loss(1, 0, 0, 0, 0)}), make_datagram(2, {loss(2, 5, 3, 0, 0)}),
      make_datagram(3, {loss(1, 2, 0, 0, 0)})},
     {7, 3, 0, 0, 0, 0}},
    {"FailedSendsExplainTheGap",
     {make_datagram(1, {loss(1, 0, 0, 0, 0)}), make_datagram(4, {loss(2, 0, 0, 2, 7)})},
     {0, 0, 7, 0, 0, 0}},
    {"TheRestOfTheGapIsTheNetworks",
     {make_datagram(1, {loss(1, 0, 0, 0, 0)}), make_datagram(5, {loss(2, 0, 0, 1, 3)})},
     {0, 0, 3, 2, 0, 0}},
    // Without loss records: only the frames that no lost datagram took are the card's.
    {"WithoutRecordsIndexGapsInTheStreamAreTheCards",
     {make_datagram(1, {make_id_event(1), make_id_event(3)}), make_datagram(2, {make_id_event(6)}),
      make_datagram(4, {make_id_event(20)})},
     {3, 0, 0, 1, 0, 0}},
    {"AMalformedDatagramsFramesAreNotTheCards",
     {make_datagram(1, {make_id_event(1)}), spoiled_record(make_datagram(2, {make_id_event(2)})),
      make_datagram(3, {make_id_event(5)})},
     {0, 0, 0, 0, 0, 1}},
    {"AnUnreadableHeaderTookItsPlaceInTheSequence",
     {make_datagram(1, {make_id_event(1)}), spoiled_header(make_datagram(2, {make_id_event(2)})),
      make_datagram(3, {make_id_event(5)})},
     {0, 0, 0, 0, 0, 1}},
};

INSTANTIATE_TEST_SUITE_P(Streams, ChargedStages, ::testing::ValuesIn(STAGES_CASES),
                         [](const ::testing::TestParamInfo<StagesCase>& info) { return info.param.name; });

TEST(ChargedStages, TheSocketsDropsGoToTheGapsTheyMade) {
    busdump::Options options;
    std::ostringstream out, err;
    busdump::BusDump dump(options, out, err);
    const PcapWriter::Endpoint a{0x0A000001, 5000}, b{0x0A000002, 5000};
    const auto receive = [&dump](const PcapWriter::Endpoint& from, const Datagram& bytes, uint32_t drops) {
        busdump::Arrival arrival(0, "sender");
        arrival.socket_drops = drops;
        dump.handle(bytes.data(), bytes.size(), arrival, from);
    };
    receive(a, make_datagram(1, {}), 0);
    receive(b, make_datagram(1, {}), 0);
    receive(a, make_datagram(3, {}), 1);  // one dropped: a's missing datagram
    receive(b, make_datagram(4, {}), 3);  // two more: b's
    receive(a, make_datagram(5, {}), 3);  // none more: the network lost this one
    const std::vector<const busdump::Source*> sources = dump.sources().sources();
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(values(LossStages::of(sources[0]->counts())), (std::vector<uint64_t>{0, 0, 0, 1, 1, 0}));
    EXPECT_EQ(values(LossStages::of(sources[1]->counts())), (std::vector<uint64_t>{0, 0, 0, 0, 2, 0}));
    EXPECT_NE(out.str().find("this host dropped 2 datagram(s)"), std::string::npos) << out.str();
}

}  // namespace
