// The acquisition thread: records queued unchanged, continuity, frame checks, malformed blocks,
// a card that stops answering.
#include <atomic>
#include <thread>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "tests/gateway/card/cardtest.h"

using namespace linkscope;
using namespace std::chrono_literals;
using testsupport::make_frame;
using testsupport::make_record;

namespace {

class Acquisition : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        device_ = install(1);
        card_ = make_card();
        ASSERT_EQ(card_->start(0), 0);
        // From here on a wait is pending, so the count after a push tells that the block was walked.
        ASSERT_TRUE(device_->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 5s));
    }
    void TearDown() override {
        card_.reset();
        CardTest::TearDown();
    }
    // Pushes `blocks` and waits until the card has asked for the wait after the last one,
    // so that every block has been walked.
    void deliver(const std::vector<std::vector<uint8_t>>& blocks) {
        const std::size_t waits = device_->count(LINKSCOPE_IOCTL_WAIT_EVENTS);
        for (const auto& b : blocks) device_->push_block(b);
        ASSERT_TRUE(device_->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, waits + blocks.size(), 5s));
    }
    std::size_t warnings() {
        const std::string log = log_text();
        std::size_t n = 0;
        for (std::size_t at = log.find("fip frame loss"); at != std::string::npos; at = log.find("fip frame loss", at + 1))
            ++n;
        return n;
    }

    std::shared_ptr<testsupport::TestDevice> device_;
    std::unique_ptr<Linkscope> card_;
};

std::vector<char> as_chars(const std::vector<uint8_t>& bytes) { return std::vector<char>(bytes.begin(), bytes.end()); }

TEST_F(Acquisition, QueuesEveryRecordUnchangedAndInOrder) {
    std::vector<std::vector<uint8_t>> records;
    for (uint64_t i = 1; i <= 40; ++i)
        records.push_back(make_record(make_frame(CTRL_RP_DAT, std::vector<uint8_t>(i % 20 + 2, 0x40)), i,
                                      0x0102030405060708ull + i, make_status(2, 3, STATUS_BIT5)));
    std::vector<std::vector<uint8_t>> first(records.begin(), records.begin() + 37);
    std::vector<std::vector<uint8_t>> second(records.begin() + 37, records.end());
    deliver({block_of(first), block_of(second, BLOCK_FLAG_EVENTS_B)});

    const auto queued = take_records(records.size());
    ASSERT_EQ(queued.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(queued[i], as_chars(records[i])) << i;

    EXPECT_EQ(warnings(), 0u);
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.frame_rcvd_cnt, 40u);
    EXPECT_EQ(s.loss_evt_cnt, 0u);
    EXPECT_EQ(s.status_b5_cnt, 40u);
    uint32_t bytes = 0;
    for (const auto& r : records) bytes += static_cast<uint32_t>(r.size() - EVT_HEADER_SIZE + 3);
    EXPECT_EQ(s.bytes_rcvd_cnt, bytes);
    EXPECT_TRUE(s.is_active);
}

TEST_F(Acquisition, ContinuityWarnsAndCountsEveryGap) {
    deliver({block_of({id_dat_record(7)})});  // the first index is compared with 0
    deliver({block_of({id_dat_record(8), id_dat_record(0), id_dat_record(9), id_dat_record(40)})});
    deliver({block_of({id_dat_record(41), id_dat_record(42), id_dat_record(43)})});
    EXPECT_EQ(card_->stats().loss_evt_cnt, 2u);
    deliver({block_of({id_dat_record(48), id_dat_record(48)})});

    const std::string log = log_text();
    EXPECT_NE(log.find("[warn]  fip frame loss ([idx-1]:0 [idx]:7 [diff]:7)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[warn]  fip frame loss ([idx-1]:9 [idx]:40 [diff]:31)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[warn]  fip frame loss ([idx-1]:43 [idx]:48 [diff]:5)\n"), std::string::npos) << log;
    // A repeated index is a discontinuity with a difference of 0.
    EXPECT_NE(log.find("[warn]  fip frame loss ([idx-1]:48 [idx]:48 [diff]:0)\n"), std::string::npos) << log;
    EXPECT_EQ(warnings(), 4u);

    const FIPStats s = card_->stats();
    EXPECT_EQ(s.loss_evt_cnt, 4u);
    EXPECT_EQ(s.lost_frame_cnt, 7u + 31u + 5u);
    EXPECT_EQ(s.frame_rcvd_cnt, 10u);
}

// A lossy bus: the loss lines stay a few a second, a per-second line counts those left out,
// and the counters stay exact.
TEST_F(Acquisition, FrequentFrameLossIsLoggedAFewTimesASecondAndCountedExactly) {
    constexpr uint64_t GAPS = 400;
    uint64_t index = 0;
    for (int block = 0; block < 8; ++block) {
        std::vector<std::vector<uint8_t>> records;
        for (uint64_t i = 0; i < GAPS / 8; ++i) {
            index += 2;  // a gap before each record: the lost total grows by the difference, 2
            records.push_back(id_dat_record(index));
        }
        deliver({block_of(records)});
    }
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.loss_evt_cnt, GAPS);
    EXPECT_EQ(s.lost_frame_cnt, 2 * GAPS);
    EXPECT_EQ(s.frame_rcvd_cnt, GAPS);
    const std::string summary = "[warn]  fip frame loss: ";
    ASSERT_TRUE(eventually([&] { return log_text().find(summary) != std::string::npos; }, 5s)) << log_text();
    const std::string log = log_text();
    std::size_t printed = 0;
    uint64_t left_out = 0;
    for (std::size_t at = log.find("fip frame loss ("); at != std::string::npos; at = log.find("fip frame loss (", at + 1))
        ++printed;
    for (std::size_t at = log.find(summary); at != std::string::npos; at = log.find(summary, at + 1))
        left_out += std::stoull(log.substr(at + summary.size()));
    EXPECT_LE(printed, 2 * RepeatLimiter::DEFAULT_LINES_PER_SECOND) << log;
    EXPECT_GE(printed, 1u);
    EXPECT_EQ(printed + left_out, GAPS) << log;
    EXPECT_NE(log.find(" more left out in the last second\n"), std::string::npos) << log;
}

TEST_F(Acquisition, BackwardJumpIsPrintedSignedAndLosesNothing) {
    deliver({block_of({id_dat_record(1), id_dat_record(10), id_dat_record(4)})});
    EXPECT_NE(log_text().find("fip frame loss ([idx-1]:10 [idx]:4 [diff]:-6)\n"), std::string::npos) << log_text();
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.loss_evt_cnt, 2u);
    EXPECT_EQ(s.lost_frame_cnt, 9u);  // only the forward gap; the step back is never a wrapped difference
}

TEST_F(Acquisition, CardWhoseIndicesRestartKeepsTheLostFrameCountTrue) {
    // A card that counts from 1 again (a reset) in the middle of a run, twice, the second time
    // after a real gap.
    std::vector<std::vector<uint8_t>> run;
    for (uint64_t i = 1; i <= 300; ++i) run.push_back(id_dat_record(i));
    deliver({block_of(run)});
    deliver({block_of({id_dat_record(1), id_dat_record(2), id_dat_record(3), id_dat_record(6)})});
    deliver({block_of({id_dat_record(1), id_dat_record(2)})});

    const std::string log = log_text();
    EXPECT_NE(log.find("fip frame loss ([idx-1]:300 [idx]:1 [diff]:-299)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("fip frame loss ([idx-1]:3 [idx]:6 [diff]:3)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("fip frame loss ([idx-1]:6 [idx]:1 [diff]:-5)\n"), std::string::npos) << log;
    EXPECT_EQ(warnings(), 3u);
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.loss_evt_cnt, 3u);
    EXPECT_EQ(s.lost_frame_cnt, 3u);
    EXPECT_EQ(s.frame_rcvd_cnt, 306u);
}

TEST_F(Acquisition, RefusedRecordIsStillCheckedForContinuity) {
    std::vector<uint8_t> short_record = id_dat_record(5);
    store_be16(short_record.data() + EVT_OFF_LENGTH, 29);
    deliver({block_of({id_dat_record(1), short_record, id_dat_record(6)})});
    EXPECT_NE(log_text().find("fip frame loss ([idx-1]:1 [idx]:5 [diff]:4)\n"), std::string::npos);
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.frame_rcvd_cnt, 1u);
    EXPECT_EQ(s.loss_evt_cnt, 1u);
    EXPECT_EQ(take_records(1).size(), 1u);
    EXPECT_TRUE(take_records(1, 50ms).empty());
}

TEST_F(Acquisition, CountsStatusBitsAndFrameFaults) {
    const uint16_t mode2 = make_status(2, 3);
    deliver({block_of({
        make_record(make_frame(0x40, {}), 1, 0, make_status(2, 0, STATUS_BIT0 | STATUS_BIT6)),      // clean
        make_record(make_frame(0x40, {0x00}), 2, 0, make_status(2, 0, STATUS_BIT1 | STATUS_BIT4)),  // length
        make_record(make_frame(0x02, {0x41, 0, 0}), 3, 0, make_status(2, 0, STATUS_BIT2 | STATUS_BIT3)),  // pdu
        make_record(make_frame(0x77, {0x00, 0x00}), 4, 0, mode2),                                    // unknown
        make_record(make_frame(0x03, {0x90, 0x80}, 2, false), 5, 0, mode2),                          // fcs
        make_record({}, 6, 0, make_status(1, 0, STATUS_BIT1 | STATUS_BIT2)),                         // empty
    })});
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.frame_rcvd_cnt, 6u);
    EXPECT_EQ(s.length_err_cnt, 1u);
    EXPECT_EQ(s.pdu_type_err_cnt, 1u);
    EXPECT_EQ(s.unknown_ctrl_cnt, 1u);
    EXPECT_EQ(s.fcs_err_cnt, 1u);
    EXPECT_EQ(s.status_b0_cnt, 1u);
    EXPECT_EQ(s.status_b12_cnt, 3u);
    EXPECT_EQ(s.status_b3_cnt, 1u);
    EXPECT_EQ(s.status_b4_cnt, 1u);
    EXPECT_EQ(s.status_b5_cnt, 0u);
    EXPECT_EQ(s.status_b6_cnt, 1u);
    EXPECT_EQ(s.fcs_mode, 1);  // that of the last record
    EXPECT_EQ(s.bytes_rcvd_cnt, (3u + 4 + 6 + 5 + 5 + 0) + 6 * 3);
    EXPECT_EQ(take_records(6).size(), 6u);
}

TEST_F(Acquisition, FcsModesWithoutAnAlgorithmFailEveryKnownFrame) {
    deliver({block_of({make_record(make_frame(0x40, {}), 1, 0, make_status(0, 0)),
                       make_record(make_frame(0x03, {0x90, 0x80}), 2, 0, make_status(3, 0)),
                       make_record(make_frame(0x55, {0x90, 0x80}), 3, 0, make_status(3, 0))})});
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.fcs_err_cnt, 2u);
    EXPECT_EQ(s.unknown_ctrl_cnt, 1u);
    EXPECT_EQ(s.fcs_mode, 3);
}

TEST_F(Acquisition, IgnoresBlocksWithoutEventsOrOfTheWrongSize) {
    std::vector<uint8_t> short_block = block_of({id_dat_record(1)});
    short_block.resize(EVENT_BLOCK_SIZE - 1);
    std::vector<uint8_t> long_block = block_of({id_dat_record(1)});
    long_block.resize(EVENT_BLOCK_SIZE + 1);
    deliver({block_of({id_dat_record(1)}, 0x3FFFFFFF), short_block, long_block, std::vector<uint8_t>{}});
    EXPECT_TRUE(take_records(1, 50ms).empty());
    const FIPStats s = card_->stats();
    EXPECT_EQ(s.frame_rcvd_cnt, 0u);
    EXPECT_FALSE(s.is_active);
    EXPECT_EQ(s.loss_evt_cnt, 0u);
}

TEST_F(Acquisition, MalformedAreasEndTheWalkOfTheirBlockOnly) {
    testsupport::BlockBuilder garbage_first;
    garbage_first.add({0xC1, 0x00, 0x40});
    garbage_first.add(id_dat_record(1));
    testsupport::BlockBuilder garbage_after;
    garbage_after.add(id_dat_record(1));
    garbage_after.add({0x00, 0xC0});
    garbage_after.add(id_dat_record(2));
    deliver({garbage_first.build(), garbage_after.build(), block_of({id_dat_record(2)})});
    const auto queued = take_records(2);
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0], as_chars(id_dat_record(1)));
    EXPECT_EQ(queued[1], as_chars(id_dat_record(2)));
    EXPECT_EQ(card_->stats().frame_rcvd_cnt, 2u);
}

// Records of `size` bytes each (RP_DAT frames), indices from `first`.
std::vector<std::vector<uint8_t>> records_of_size(std::size_t count, std::size_t size, uint64_t first) {
    std::vector<std::vector<uint8_t>> records;
    for (std::size_t i = 0; i < count; ++i)
        records.push_back(make_record(make_frame(CTRL_RP_DAT, std::vector<uint8_t>(size - EVT_HEADER_SIZE - 3, 0x40)),
                                      first + i));
    return records;
}

TEST_F(Acquisition, AreaFilledExactlyIsDeliveredWhole) {
    auto records = records_of_size(128, 256, 1);  // 128 x 256 = 32768
    deliver({block_of(records)});
    EXPECT_EQ(take_records(128).size(), 128u);
    EXPECT_EQ(card_->stats().frame_rcvd_cnt, 128u);
}

TEST_F(Acquisition, RecordOverrunningTheAreaIsNotDelivered) {
    // 127 records of 256 bytes, then one that claims 257 bytes: the sum would be 32769.
    auto records = records_of_size(128, 256, 1);
    std::vector<uint8_t> block = block_of(records);
    const std::size_t last = EVENT_AREA_OFFSET + 127 * 256;
    store_be16(block.data() + last + EVT_OFF_LENGTH, 257);
    deliver({block, block_of({id_dat_record(129)})});
    EXPECT_EQ(take_records(128).size(), 128u);
    EXPECT_EQ(card_->stats().frame_rcvd_cnt, 128u);
    // The overrunning record was checked for continuity before it was refused.
    EXPECT_EQ(card_->stats().loss_evt_cnt, 0u);
}

TEST_F(Acquisition, MaximalLengthClaimNeverReadsPastTheBlock) {
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE, 0);
    store_le32(block.data(), BLOCK_FLAG_EVENTS_A);
    // A marker in the last byte of the area and one with a huge length near the end.
    block[EVENT_AREA_OFFSET] = EVT_MARKER;
    store_be16(block.data() + EVENT_AREA_OFFSET + EVT_OFF_LENGTH, 0xFFFF);
    std::vector<uint8_t> tail(EVENT_BLOCK_SIZE, 0xC0);
    store_le32(tail.data(), BLOCK_FLAG_EVENTS_A);
    deliver({block, tail});
    EXPECT_TRUE(take_records(1, 50ms).empty());
    EXPECT_EQ(card_->stats().frame_rcvd_cnt, 0u);
}

TEST_F(Acquisition, StatisticsCopiesRaceFreeWithTheAcquisition) {
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        uint32_t last = 0;
        while (reading) {
            const FIPStats s = card_->stats();
            EXPECT_GE(s.frame_rcvd_cnt, last);
            last = s.frame_rcvd_cnt;
        }
    });
    for (uint64_t b = 0; b < 50; ++b) {
        std::vector<std::vector<uint8_t>> records;
        for (uint64_t i = 1; i <= 20; ++i) records.push_back(id_dat_record(b * 20 + i));
        device_->push_block(block_of(records));
    }
    EXPECT_EQ(take_records(1000).size(), 1000u);
    EXPECT_TRUE(eventually([&] { return card_->stats().frame_rcvd_cnt == 1000u; }));
    reading = false;
    reader.join();
    EXPECT_EQ(card_->stats().loss_evt_cnt, 0u);
}

class DeadCard : public CardTest {};

TEST_F(DeadCard, FailedWaitsPauseAndEndTheConnectionAfterASecond) {
    auto device = install(1);
    // Failing from the start: a wait already pending on the test device would just block.
    device->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    const std::size_t before = device->count(LINKSCOPE_IOCTL_WAIT_EVENTS);
    std::this_thread::sleep_for(300ms);
    // With a 10 ms pause at most ~31 waits fit; a spinning thread would issue thousands.
    EXPECT_LT(device->count(LINKSCOPE_IOCTL_WAIT_EVENTS) - before, 60u);
    EXPECT_TRUE(card->opened());

    ASSERT_TRUE(eventually([&] { return !card->opened(); }, 10s));
    EXPECT_NE(log_text().find("[error] fip: the card no longer answers.\n"), std::string::npos);
    // The card is still held until the controller stops it.
    EXPECT_TRUE(device->is_open());
    EXPECT_EQ(card->stop(), 0);
    EXPECT_FALSE(device->is_open());
    EXPECT_EQ(card->stop(), -1);
}

TEST_F(DeadCard, ACardThatStoppedAnsweringGetsNoRequestAtTeardown) {
    auto device = install(1);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    ASSERT_TRUE(device->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 5s));
    // Unplugged: from now on every request fails.
    for (uint32_t code : {LINKSCOPE_IOCTL_WAIT_EVENTS, LINKSCOPE_IOCTL_SET_SNIFFER, LINKSCOPE_IOCTL_RELEASE_WAIT})
        device->fail_request(code);
    device->push_block(block_of({id_dat_record(1)}));  // ends the pending wait
    ASSERT_TRUE(eventually([&] { return !card->opened(); }, 10s));
    const std::size_t sniffer = device->count(LINKSCOPE_IOCTL_SET_SNIFFER);
    const std::size_t releases = device->count(LINKSCOPE_IOCTL_RELEASE_WAIT);
    EXPECT_EQ(card->stop(), 0);
    EXPECT_FALSE(device->is_open());
    EXPECT_EQ(device->count(LINKSCOPE_IOCTL_SET_SNIFFER), sniffer);
    EXPECT_EQ(device->count(LINKSCOPE_IOCTL_RELEASE_WAIT), releases);
    EXPECT_EQ(log_text().find("cannot stop the sniffer correctly."), std::string::npos) << log_text();
}

TEST_F(DeadCard, AFewFailedWaitsAreForgiven) {
    auto device = install(1);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    ASSERT_TRUE(device->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 5s));
    uint64_t index = 0;
    for (int round = 0; round < 3; ++round) {
        // The pending wait returns this block; the waits after it fail for half a second.
        device->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS);
        device->push_block(block_of({id_dat_record(++index)}));
        std::this_thread::sleep_for(500ms);
        device->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS, false);
        device->push_block(block_of({id_dat_record(++index)}));
        ASSERT_EQ(take_records(2).size(), 2u);
    }
    EXPECT_TRUE(card->opened());
    EXPECT_EQ(log_text().find("no longer answers"), std::string::npos);
    EXPECT_EQ(card->stop(), 0);
}

TEST_F(DeadCard, StartAfterALostCardOpensAnew) {
    auto device = install(1);
    device->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    ASSERT_TRUE(eventually([&] { return !card->opened(); }, 10s));
    device->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS, false);
    ASSERT_EQ(card->start(0), 0);
    device->push_block(block_of({id_dat_record(1)}));
    EXPECT_EQ(take_records(1).size(), 1u);
    EXPECT_EQ(card->stop(), 0);
}

}  // namespace
