#include "common/stream/lossrecord.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> bytes_of(const LossRecord& record) {
    const std::vector<char> encoded = record.encode();
    return std::vector<uint8_t>(encoded.begin(), encoded.end());
}

TEST(LossRecord, BigEndianFieldsAtTheirOffsets) {
    LossRecord record;
    record.counter = 0x01020304;
    record.created_us = -2;
    record.card_lost_frames = 0x1112131415161718;
    record.queue_refused = 0x2122232425262728;
    record.send_failed_datagrams = 0x3132333435363738;
    record.send_failed_records = 0x4142434445464748;
    const std::vector<uint8_t> expected = {
        0xC2, 0x00, 0x2F, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,
        0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
        0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
    const std::vector<uint8_t> bytes = bytes_of(record);
    EXPECT_EQ(bytes, expected);
    LossRecord back;
    ASSERT_TRUE(LossRecord::decode(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.created_us, -2);
    EXPECT_EQ(back.send_failed_records, record.send_failed_records);
}

TEST(LossRecord, LongerRecordsOfLaterGatewaysAreReadOthersRefused) {
    std::vector<uint8_t> longer = bytes_of(LossRecord{7, 0, 1, 2, 3, 4});
    longer.resize(longer.size() + 5, 0xEE);
    longer[2] = static_cast<uint8_t>(longer.size());
    LossRecord read;
    EXPECT_TRUE(LossRecord::decode(longer.data(), longer.size(), &read));
    EXPECT_EQ(read.send_failed_records, 4u);
    std::string error;
    EXPECT_FALSE(LossRecord::decode(longer.data(), longer.size() - 1, &read, &error));
    EXPECT_EQ(error, "loss record length field 52 for 51 bytes");
    longer[2] = 40;
    EXPECT_FALSE(LossRecord::decode(longer.data(), 40, &read, &error));
    EXPECT_EQ(error, "loss record of 40 bytes (at least 47 expected)");
}

}  // namespace
