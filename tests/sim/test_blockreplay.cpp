#include "sim/blockreplay.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/driver/controlbyte.h"
#include "sim/simulatedcards.h"
#include "tests/sim/simcardtest.h"
#include "tests/support/blockbuilder.h"

namespace {

using namespace linkscope;
using namespace simtest;
using testsupport::BlockBuilder;
using testsupport::make_frame;

class BlockReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "replay-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
        for (uint64_t b = 0; b < 3; ++b) {
            BlockBuilder builder;
            for (uint64_t i = 0; i < 4; ++i) builder.add_record(make_frame(CTRL_ID_DAT, {0x90, 0x80}), 1 + 4 * b + i);
            blocks_.push_back(builder.build());
        }
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::shared_ptr<platform::Device> card_for(const std::string& extra = "") {
        sim::SimulatedCards cards = sim::make_simulated_cards("replay=" + path_ + extra);
        EXPECT_EQ(cards.error, "");
        warnings_ = cards.warnings;
        if (cards.devices.empty()) return nullptr;
        cards.devices.at(1)->on_open();
        return cards.devices.at(1);
    }

    std::string path_;
    std::vector<std::vector<uint8_t>> blocks_;
    std::vector<std::string> warnings_;
};

TEST_F(BlockReplayTest, ServesTheFileBlocksInOrderThenWaits) {
    ASSERT_TRUE(testsupport::write_block_file(path_, blocks_));
    auto card = card_for(",speed=max");
    ASSERT_TRUE(card);
    EXPECT_TRUE(warnings_.empty());
    start(*card, 0);
    std::vector<uint8_t> block;
    for (const auto& expected : blocks_) {
        ASSERT_TRUE(testsupport::wait_block(*card, block));
        EXPECT_EQ(block, expected);
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        plain(*card, LINKSCOPE_IOCTL_RELEASE_WAIT);
    });
    EXPECT_FALSE(testsupport::wait_block(*card, block)) << "nothing after the last block";
    releaser.join();
    plain(*card, LINKSCOPE_IOCTL_RESET);
    ASSERT_TRUE(testsupport::wait_block(*card, block));
    EXPECT_EQ(block, blocks_.front()) << "reset starts the file again";
}

TEST_F(BlockReplayTest, RealSpeedServesABlockPerInterruptPeriod) {
    ASSERT_TRUE(testsupport::write_block_file(path_, blocks_));
    auto card = card_for(",irq_us=20000");
    start(*card, 0);
    std::vector<uint8_t> block;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(testsupport::wait_block(*card, block));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(39));
}

// Only captures and whole event blocks are replayed: anything else is refused with one line and
// no card, before any of it could hold up the start or be served as garbage blocks.
TEST_F(BlockReplayTest, WhatIsNeitherACaptureNorWholeBlocksIsRefused) {
    const auto refused = [](const std::string& path, const std::string& extra = "") {
        const sim::SimulatedCards cards = sim::make_simulated_cards("replay=" + path + extra);
        EXPECT_TRUE(cards.devices.empty()) << path;
        EXPECT_EQ(cards.error.find('\n'), std::string::npos) << cards.error;
        return cards.error;
    };
    EXPECT_NE(refused(path_ + ".missing").find(".missing"), std::string::npos);
    std::ofstream(path_, std::ios::binary) << "short";
    EXPECT_NE(refused(path_).find("neither a capture (pcap) nor a file of whole 32780-byte event blocks"),
              std::string::npos);
    blocks_.push_back(std::vector<uint8_t>(1000, 0xC0));
    ASSERT_TRUE(testsupport::write_block_file(path_, blocks_));
    EXPECT_NE(refused(path_).find("(99340 bytes)"), std::string::npos) << "a truncated last block";
    EXPECT_NE(refused(path_, ",replay_serial=0x4c530001").find("no capture"), std::string::npos);
    // A damaged pcap magic: read as blocks, the file is no whole number of them.
    std::ofstream(path_, std::ios::binary | std::ios::trunc).write("\xd4\xc3\xb2\xa0\x02\x00\x04\x00", 8);
    EXPECT_NE(refused(path_).find("neither a capture"), std::string::npos);
    // Wireshark's default format, cut short inside its section header.
    std::ofstream(path_, std::ios::binary | std::ios::trunc).write("\x0a\x0d\x0d\x0a\x1c\x00\x00\x00", 8);
    EXPECT_NE(refused(path_).find("no readable pcapng file"), std::string::npos);
    const std::string folder = path_ + ".d";
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/ring.pcapng.part") << "being written";
    EXPECT_NE(refused(folder).find("holds no closed capture"), std::string::npos);
    std::filesystem::remove_all(folder);
#ifndef _WIN32
    const std::string fifo = path_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_NE(refused(fifo).find("is a FIFO"), std::string::npos) << "refused without waiting for a writer";
    std::remove(fifo.c_str());
#endif
}

TEST(SimulatedCards, BuildsOneCardPerDeviceNumberOrNoneOnABadSetting) {
    sim::SimulatedCards cards = sim::make_simulated_cards("devices=3+5");
    EXPECT_EQ(cards.error, "");
    ASSERT_EQ(cards.devices.size(), 2u);
    EXPECT_TRUE(cards.devices.count(3) && cards.devices.count(5));
    cards = sim::make_simulated_cards("cards=2,stations=x");
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("stations"), std::string::npos);
    EXPECT_TRUE(sim::make_simulated_cards("").devices.empty());
    EXPECT_EQ(sim::make_simulated_cards("").error, "");
}

}  // namespace
