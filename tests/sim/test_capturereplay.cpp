// A capture of the gateway's datagrams replayed by a simulated card: the same event records in
// the same order, lifesigns and malformed datagrams left out, blocks cut by the interrupt period
// and paced by the records' time stamps.
#include "sim/capturereplay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/driver/byteorder.h"
#include "common/stream/pcapngwriter.h"
#include "common/stream/pcapwriter.h"
#include "sim/simulatedcards.h"
#include "tests/sim/simcardtest.h"
#include "tests/support/blockbuilder.h"
#include "tests/support/capturedevent.h"

namespace {

using namespace linkscope;

std::vector<uint8_t> datagram(uint64_t sequence, const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> bytes(16, 0);
    bytes[0] = 'L';
    bytes[1] = 'S';
    bytes[2] = 1;
    store_be64(&bytes[4], sequence);
    store_be32(&bytes[12], static_cast<uint32_t>(records.size()));
    for (const auto& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
    return bytes;
}

std::vector<uint8_t> event(uint64_t index, uint64_t timestamp, std::size_t data_bytes = 2) {
    std::vector<uint8_t> body(data_bytes, static_cast<uint8_t>(index));
    return testsupport::make_record(testsupport::make_frame(0x02, body), index, timestamp);
}

std::vector<uint8_t> lifesign() {
    std::vector<uint8_t> bytes(323, 0);
    bytes[0] = 0xC1;
    store_be16(&bytes[1], 323);
    return bytes;
}

class CaptureReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "capture-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void write(const std::vector<std::vector<uint8_t>>& payloads) {
        PcapWriter writer;
        ASSERT_TRUE(writer.open(path_)) << writer.error();
        for (std::size_t i = 0; i < payloads.size(); ++i)
            ASSERT_TRUE(writer.write(static_cast<int64_t>(i), {0x7F000001, 40000}, {0x7F000001, 57117},
                                     payloads[i].data(), payloads[i].size()));
    }

    std::string path_;
};

// The records of a block's event area, walked by their lengths.
std::vector<std::vector<uint8_t>> records_of(const std::vector<uint8_t>& block) {
    std::vector<std::vector<uint8_t>> out;
    std::size_t at = EVENT_AREA_OFFSET;
    while (at + EVT_HEADER_SIZE <= block.size() && block[at] == EVT_MARKER) {
        const std::size_t length = load_be16(&block[at + EVT_OFF_LENGTH]);
        if (length < EVT_HEADER_SIZE || at + length > block.size()) break;
        out.emplace_back(block.begin() + static_cast<std::ptrdiff_t>(at),
                         block.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return out;
}

}  // namespace

TEST_F(CaptureReplayTest, DeliversTheCapturedEventRecordsWithoutLifesignsOrMalformedDatagrams) {
    const auto e1 = event(1, 1000), e2 = event(2, 1100), e3 = event(3, 1200), e4 = event(5, 1300, 40);
    auto broken = datagram(3, {event(99, 1250)});
    broken[15] = 9;  // the count disagrees with the one record: malformed, left out whole
    write({datagram(1, {lifesign(), e1, e2}), datagram(2, {e3}), broken, {'n', 'o', 't'}, datagram(4, {e4, lifesign()})});

    std::string error;
    auto replay = sim::CaptureReplay::open(path_, 1000000, &error);
    ASSERT_TRUE(replay) << error;
    EXPECT_EQ(replay->events(), 4u);
    EXPECT_NE(replay->warning().find("2 malformed datagram(s)"), std::string::npos) << replay->warning();
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    uint64_t pause = 77;
    ASSERT_TRUE(replay->next_block(block.data(), &pause));
    EXPECT_EQ(load_le32(block.data()), BLOCK_FLAG_EVENTS_A);
    EXPECT_EQ(records_of(block), (std::vector<std::vector<uint8_t>>{e1, e2, e3, e4})) << "byte for byte, in order";
    EXPECT_EQ(pause, 300u) << "the first block is due when its last record was captured";
    EXPECT_FALSE(replay->next_block(block.data(), &pause));
    replay->rewind();
    ASSERT_TRUE(replay->next_block(block.data(), &pause));
    EXPECT_EQ(records_of(block).size(), 4u);
}

TEST_F(CaptureReplayTest, BlocksSpanOneInterruptPeriodAndFillAtMostTheEventArea) {
    // 1000 events of 130 bytes, 100 us apart: 10 per millisecond.
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<std::vector<uint8_t>> sent;
    for (uint64_t d = 0; d < 100; ++d) {
        std::vector<std::vector<uint8_t>> records;
        for (uint64_t i = 0; i < 10; ++i) {
            const uint64_t index = d * 10 + i + 1;
            records.push_back(event(index, 5000000 + index * 100, 97));
            sent.push_back(records.back());
        }
        payloads.push_back(datagram(d + 1, records));
    }
    // A restart: time goes back, which is no pause; then a long silence, which is cut short.
    sent.push_back(event(1, 10));
    sent.push_back(event(2, 3600000000ull));
    payloads.push_back(datagram(1, {sent[sent.size() - 2], sent.back()}));
    write(payloads);

    std::string error;
    auto replay = sim::CaptureReplay::open(path_, 5000, &error);
    ASSERT_TRUE(replay) << error;
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint64_t> pauses;
    std::vector<std::size_t> sizes;
    uint64_t pause = 0;
    while (replay->next_block(block.data(), &pause)) {
        const auto records = records_of(block);
        got.insert(got.end(), records.begin(), records.end());
        pauses.push_back(pause);
        sizes.push_back(records.size());
    }
    EXPECT_EQ(got, sent);
    ASSERT_GE(sizes.size(), 22u);
    EXPECT_EQ(sizes[0], 50u) << "5 ms of records at 10 per ms";
    EXPECT_EQ(pauses[1], 5000u) << "the next block's last record is 5 ms later";
    EXPECT_EQ(pauses[pauses.size() - 2], 0u) << "time stamps going back give no pause";
    EXPECT_EQ(pauses.back(), sim::CaptureReplay::MAX_PAUSE_US);
    // The area holds 252 records of 130 bytes: a longer interrupt period fills blocks by size.
    replay = sim::CaptureReplay::open(path_, 60000000, &error);
    ASSERT_TRUE(replay->next_block(block.data(), &pause));
    EXPECT_EQ(records_of(block).size(), EVENT_AREA_SIZE / 130);
}

TEST_F(CaptureReplayTest, ASimulatedCardServesTheCaptureAndRawBlockFilesStillWork) {
    write({datagram(1, {event(1, 100), lifesign()}), datagram(2, {event(2, 200)})});
    sim::SimulatedCards cards = sim::make_simulated_cards("replay=" + path_ + ",speed=max");
    ASSERT_EQ(cards.error, "");
    ASSERT_EQ(cards.devices.size(), 1u);
    auto& card = *cards.devices.at(1);
    card.on_open();
    simtest::start(card, 0);
    const auto events = simtest::read_events(card, 1);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].index, 1u);
    EXPECT_EQ(events[0].timestamp, 100u) << "time stamps as captured, not the new epoch";
    EXPECT_EQ(events[1].timestamp, 200u);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        simtest::plain(card, LINKSCOPE_IOCTL_RELEASE_WAIT);
    });
    std::vector<uint8_t> block;
    EXPECT_FALSE(testsupport::wait_block(card, block)) << "nothing after the capture's end";
    releaser.join();
}

TEST_F(CaptureReplayTest, UnreadableCapturesAreClearErrors) {
    write({datagram(1, {lifesign()})});
    auto cards = sim::make_simulated_cards("replay=" + path_);
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("holds no event record"), std::string::npos) << cards.error;

    // A header that promises more than the file holds: the records before it still replay.
    write({datagram(1, {event(1, 100)}), datagram(2, {event(2, 200)})});
    {
        std::ofstream out(path_, std::ios::binary | std::ios::app);
        const uint8_t header[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
    }
    std::string error;
    auto replay = sim::CaptureReplay::open(path_, 5000, &error);
    ASSERT_TRUE(replay) << error;
    EXPECT_EQ(replay->events(), 2u);
    EXPECT_NE(replay->warning().find("damaged"), std::string::npos) << replay->warning();

    std::ofstream(path_, std::ios::binary | std::ios::trunc).write("\xd4\xc3\xb2\xa1\x02\x00\x04\x00", 8);
    cards = sim::make_simulated_cards("replay=" + path_);
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("pcap file header"), std::string::npos) << cards.error;
}

TEST_F(CaptureReplayTest, RealSpeedPacesTheBlocksByTheirTimeStamps) {
    // Three bursts 20 ms apart: three blocks (irq_us 5000), the last due 40 ms after the first.
    write({datagram(1, {event(1, 1000000), event(2, 1000100)}), datagram(2, {event(3, 1020000)}),
           datagram(3, {event(4, 1040000)})});
    sim::SimulatedCards cards = sim::make_simulated_cards("replay=" + path_ + ",irq_us=5000");
    ASSERT_EQ(cards.error, "");
    auto& card = *cards.devices.at(1);
    card.on_open();
    simtest::start(card, 0);
    const auto began = std::chrono::steady_clock::now();
    const auto events = simtest::read_events(card, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(39));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].index, 4u);
}

TEST_F(CaptureReplayTest, OneSendersStreamIsReplayedAndTheOthersAreLeftOut) {
    // Two gateways broadcasting to one busdump: their streams interleave in the capture.
    const PcapWriter::Endpoint first{0x0A000005, 40000}, second{0x0A000006, 40000}, port{0, 57117};
    const std::vector<std::pair<PcapWriter::Endpoint, std::vector<uint8_t>>> packets = {
        {second, {'j', 'u', 'n', 'k'}},
        {first, datagram(1, {event(1, 100)})},
        {second, datagram(1, {event(1, 105)})},
        {first, datagram(2, {event(2, 200)})},
        {PcapWriter::Endpoint{0x0A000005, 40001}, datagram(1, {event(9, 210)})},
        {first, datagram(3, {lifesign(), event(3, 300)})},
    };
    {
        PcapWriter writer;
        ASSERT_TRUE(writer.open(path_));
        for (const auto& [from, bytes] : packets) ASSERT_TRUE(writer.write(0, from, port, bytes.data(), bytes.size()));
    }
    std::string error;
    auto replay = sim::CaptureReplay::open(path_, 1000000, &error);
    ASSERT_TRUE(replay) << error;
    EXPECT_EQ(replay->events(), 3u);
    EXPECT_NE(replay->warning().find("2 datagram(s) of other senders than 10.0.0.5:40000"), std::string::npos)
        << replay->warning();
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    ASSERT_TRUE(replay->next_block(block.data(), nullptr));
    EXPECT_EQ(records_of(block), (std::vector<std::vector<uint8_t>>{event(1, 100), event(2, 200), event(3, 300)}));
}

namespace {

std::vector<uint8_t> lifesign_of(uint32_t serial) {
    std::vector<uint8_t> bytes = lifesign();
    store_be32(&bytes[19], serial);
    return bytes;
}

}  // namespace

// A capture spanning two restarts of a gateway, each run from another port, beside another
// gateway of the same host: every run of the chosen gateway replays, in capture order.
TEST_F(CaptureReplayTest, AGatewayIsFollowedThroughItsRestartsAndCanBePickedByItsCard) {
    const PcapWriter::Endpoint port{0, 57117};
    const auto from = [](uint16_t source_port) { return PcapWriter::Endpoint{0x0A000005, source_port}; };
    const std::vector<std::pair<PcapWriter::Endpoint, std::vector<uint8_t>>> packets = {
        {from(40000), datagram(1, {lifesign_of(0x4C530001), event(1, 100)})},
        {from(40009), datagram(1, {lifesign_of(0x4C530002), event(1, 105)})},
        {from(40000), datagram(2, {event(2, 200)})},
        {from(40001), datagram(1, {lifesign_of(0x4C530001), event(1, 300)})},  // first restart
        {from(40009), datagram(2, {event(2, 305)})},
        {from(40002), datagram(1, {event(1, 400)})},  // second restart, its lifesign comes later
        {from(40002), datagram(2, {lifesign_of(0x4C530001), event(2, 500)})},
    };
    {
        PcapWriter writer;
        ASSERT_TRUE(writer.open(path_));
        for (const auto& [source, bytes] : packets) ASSERT_TRUE(writer.write(0, source, port, bytes.data(), bytes.size()));
    }
    const auto replayed = [&](uint32_t serial, std::string* warning) {
        std::string error;
        auto replay = sim::CaptureReplay::open(path_, 1000000, &error, serial);
        EXPECT_TRUE(replay) << error;
        std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
        std::vector<std::vector<uint8_t>> records;
        while (replay && replay->next_block(block.data(), nullptr))
            for (auto& r : records_of(block)) records.push_back(std::move(r));
        if (replay) *warning = replay->warning();
        return records;
    };
    std::string warning;
    EXPECT_EQ(replayed(0, &warning), (std::vector<std::vector<uint8_t>>{event(1, 100), event(2, 200), event(1, 300),
                                                                         event(1, 400), event(2, 500)}));
    EXPECT_NE(warning.find("2 datagram(s) of other senders than 10.0.0.5 sn 0x4c530001"), std::string::npos) << warning;
    EXPECT_EQ(replayed(0x4C530002, &warning), (std::vector<std::vector<uint8_t>>{event(1, 105), event(2, 305)}));

    auto cards = sim::make_simulated_cards("replay=" + path_ + ",replay_serial=0x4c530003");
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("holds no gateway of card sn 0x4c530003 (cards named: sn 0x4c530001, sn 0x4c530002)"),
              std::string::npos)
        << cards.error;
    cards = sim::make_simulated_cards("replay=" + path_ + ",replay_serial=1280507906,speed=max");
    EXPECT_EQ(cards.error, "") << "the serial in decimal";
}

// The pcapng files of a ring: a folder replays its closed captures in name order (the file still
// being written, with its suffix, and other files left out), a list in the order given, and the
// sender is picked by its address as well as by its card.
TEST_F(CaptureReplayTest, RingFoldersAndListsOfPcapngReplayTheChosenSenderInOrder) {
    const std::string dir = path_ + ".d";
    std::filesystem::create_directory(dir);
    const PcapWriter::Endpoint to{0x7F000001, 57117}, a{0x0A000005, 40000}, b{0x0A000006, 40009};
    const auto write_ng = [&](const std::string& name,
                              const std::vector<std::pair<PcapWriter::Endpoint, std::vector<uint8_t>>>& packets) {
        std::vector<uint8_t> bytes = PcapngWriter::section_header("test");
        std::vector<uint32_t> described;
        for (const auto& [from, payload] : packets) {
            auto known = std::find(described.begin(), described.end(), from.address);
            if (known == described.end()) {
                const auto idb = PcapngWriter::interface_description({from, to, std::nullopt});
                bytes.insert(bytes.end(), idb.begin(), idb.end());
                known = described.insert(described.end(), from.address);
            }
            const auto epb = PcapngWriter::enhanced_packet(static_cast<uint32_t>(known - described.begin()), 0,
                                                           PcapWriter::frame(from, to, payload.data(), payload.size()));
            bytes.insert(bytes.end(), epb.begin(), epb.end());
        }
        std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                 static_cast<std::streamsize>(bytes.size()));
    };
    write_ng("ring-0002.pcapng", {{a, datagram(3, {event(3, 300)})}, {b, datagram(2, {event(102, 305)})}});
    write_ng("ring-0001.pcapng", {{b, datagram(1, {event(101, 105)})}, {a, datagram(1, {event(1, 100), event(2, 200)})}});
    write_ng("ring-0003.pcapng.part", {{a, datagram(4, {event(4, 400)})}});
    std::ofstream(dir + "/notes.txt") << "no capture";

    struct Case {
        std::string settings;
        int blocks;  // a block ends where time stamps go back
        std::vector<uint64_t> indices;
    };
    const std::string list = dir + "/ring-0002.pcapng+" + dir + "/ring-0001.pcapng";
    for (const Case& c : {Case{"replay=" + dir, 1, {101, 102}}, Case{"replay=" + dir + ",replay_address=10.0.0.5", 1, {1, 2, 3}},
                          Case{"replay=" + list + ",replay_address=10.0.0.5:40000", 2, {3, 1, 2}}}) {
        const sim::SimulatedCards cards = sim::make_simulated_cards(c.settings + ",speed=max");
        ASSERT_EQ(cards.error, "") << c.settings;
        platform::Device& card = *cards.devices.begin()->second;
        card.on_open();
        simtest::start(card, 0);
        std::vector<uint64_t> indices;
        for (const auto& e : simtest::read_events(card, c.blocks)) indices.push_back(e.index);
        EXPECT_EQ(indices, c.indices) << c.settings;
    }
    const sim::SimulatedCards none = sim::make_simulated_cards("replay=" + dir + ",replay_address=10.0.0.7:1");
    EXPECT_NE(none.error.find("no gateway at 10.0.0.7:1 (senders: 10.0.0.5:40000, 10.0.0.6:40009)"), std::string::npos)
        << none.error;
    std::filesystem::remove_all(dir);
}
