#include "common/stream/lossrecord.h"

#include <gtest/gtest.h>

TEST(LossRecord, BigEndianAtItsOffsetsLongerOnesReadShorterOnesRefused) {
    const std::vector<char> encoded = LossRecord{0x01020304, -2, 0x1112131415161718, 0x21, 0x31, 0x41}.encode();
    std::vector<uint8_t> bytes(encoded.begin(), encoded.end());
    const std::vector<uint8_t> expected = {0xC2, 0x00, 0x2F, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFE, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0, 0, 0,
                                           0,    0,    0,    0,    0x21, 0,    0,    0,    0,    0,    0,    0,    0x31,
                                           0,    0,    0,    0,    0,    0,    0,    0x41};
    EXPECT_EQ(bytes, expected);
    bytes.resize(52, 0xEE);  // a later gateway's fields behind
    bytes[2] = 52;
    LossRecord read;
    ASSERT_TRUE(LossRecord::decode(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(read.created_us, -2);
    EXPECT_EQ(read.send_failed_records, 0x41u);
    std::string error;
    EXPECT_FALSE(LossRecord::decode(bytes.data(), 51, &read, &error));
    EXPECT_EQ(error, "loss record length field 52 for 51 bytes");
    bytes[2] = 40;
    EXPECT_FALSE(LossRecord::decode(bytes.data(), 40, &read, &error));
    EXPECT_EQ(error, "loss record of 40 bytes (at least 47 expected)");
}
