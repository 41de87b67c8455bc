#include <gtest/gtest.h>

#include <cstring>

#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "tests/support/blockbuilder.h"

using namespace linkscope;

namespace {

// Bit-by-bit CRC, independent of the table construction.
uint16_t bitwise_crc(uint16_t poly, uint16_t init, const uint8_t* p, std::size_t n) {
    uint16_t c = init;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ poly) : static_cast<uint16_t>(c << 1);
    }
    return c;
}

const uint8_t CHECK_STRING[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

}  // namespace

TEST(FrameCheck, Mode1MatchesXmodemBeforeComplement) {
    EXPECT_EQ(FrameCheck::update(FrameCheck::table_1021(), 0x0000, CHECK_STRING, 9), 0x31C3);
    uint16_t fcs = 0;
    ASSERT_TRUE(FrameCheck::compute(1, CHECK_STRING, 9, &fcs));
    EXPECT_EQ(fcs, static_cast<uint16_t>(~0x31C3));
}

TEST(FrameCheck, Mode2MatchesBitwiseReference) {
    // CRC-16 with polynomial 0x1DCF, initial 0xFFFF, MSB first.
    const uint16_t expected = bitwise_crc(0x1DCF, 0xFFFF, CHECK_STRING, 9);
    EXPECT_EQ(FrameCheck::update(FrameCheck::table_1dcf(), 0xFFFF, CHECK_STRING, 9), expected);
    uint16_t fcs = 0;
    ASSERT_TRUE(FrameCheck::compute(2, CHECK_STRING, 9, &fcs));
    EXPECT_EQ(fcs, static_cast<uint16_t>(~expected));
}

TEST(FrameCheck, TablesAgreeWithBitwiseOnEverySingleByte) {
    for (int b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        EXPECT_EQ(FrameCheck::update(FrameCheck::table_1021(), 0, &byte, 1), bitwise_crc(0x1021, 0, &byte, 1));
        EXPECT_EQ(FrameCheck::update(FrameCheck::table_1dcf(), 0xFFFF, &byte, 1),
                  bitwise_crc(0x1DCF, 0xFFFF, &byte, 1));
    }
}

TEST(FrameCheck, SameFramePassesOneModeAndFailsTheOther) {
    const auto frame1 = testsupport::make_frame(0x03, {0x90, 0x80}, 1);
    const auto frame2 = testsupport::make_frame(0x03, {0x90, 0x80}, 2);
    EXPECT_TRUE(FrameCheck::frame_is_correct(1, frame1.data(), frame1.size()));
    EXPECT_FALSE(FrameCheck::frame_is_correct(2, frame1.data(), frame1.size()));
    EXPECT_TRUE(FrameCheck::frame_is_correct(2, frame2.data(), frame2.size()));
    EXPECT_FALSE(FrameCheck::frame_is_correct(1, frame2.data(), frame2.size()));
}

TEST(FrameCheck, ShortFramesAndUndefinedModesNeverPass) {
    const uint8_t two[] = {0x00, 0x00};
    EXPECT_FALSE(FrameCheck::frame_is_correct(1, two, 2));
    const auto frame = testsupport::make_frame(0x40, {}, 2);
    EXPECT_TRUE(FrameCheck::frame_is_correct(2, frame.data(), frame.size()));
    EXPECT_FALSE(FrameCheck::frame_is_correct(0, frame.data(), frame.size()));
    EXPECT_FALSE(FrameCheck::frame_is_correct(3, frame.data(), frame.size()));
    uint16_t fcs = 0x1234;
    EXPECT_FALSE(FrameCheck::compute(3, frame.data(), 1, &fcs));
    EXPECT_EQ(fcs, 0x1234);
}

TEST(FrameCheck, DeliberatelyWrongFcsFails) {
    const auto frame = testsupport::make_frame(0x02, {0x40, 0x02, 0x11, 0x22}, 2, false);
    EXPECT_FALSE(FrameCheck::frame_is_correct(2, frame.data(), frame.size()));
}
