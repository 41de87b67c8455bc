#include "sim/blockreplay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
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

TEST_F(BlockReplayTest, ATruncatedLastBlockIsLeftOutWithAWarning) {
    blocks_.push_back(std::vector<uint8_t>(1000, 0xC0));
    ASSERT_TRUE(testsupport::write_block_file(path_, blocks_));
    auto card = card_for(",speed=max");
    ASSERT_TRUE(card);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find("truncated"), std::string::npos);
    start(*card, 0);
    std::vector<uint8_t> block;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(testsupport::wait_block(*card, block));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        plain(*card, LINKSCOPE_IOCTL_RELEASE_WAIT);
    });
    EXPECT_FALSE(testsupport::wait_block(*card, block));
    releaser.join();
}

TEST_F(BlockReplayTest, AMissingOrEmptyFileIsAClearErrorAndNoCard) {
    sim::SimulatedCards cards = sim::make_simulated_cards("replay=" + path_ + ".missing");
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("replay"), std::string::npos);
    EXPECT_NE(cards.error.find(".missing"), std::string::npos);

    std::ofstream(path_, std::ios::binary) << "short";
    cards = sim::make_simulated_cards("replay=" + path_);
    EXPECT_TRUE(cards.devices.empty());
    EXPECT_NE(cards.error.find("no whole event block"), std::string::npos) << cards.error;
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
