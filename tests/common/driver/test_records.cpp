#include <gtest/gtest.h>

#include "common/driver/controlbyte.h"
#include "common/driver/deviceinfos.h"
#include "common/driver/devicepath.h"
#include "common/driver/eventrecord.h"
#include "tests/support/blockbuilder.h"

using namespace linkscope;

TEST(EventRecord, HeaderFieldsAreBigEndianAtTheirOffsets) {
    EventHeader h;
    h.status = 0x1234;
    h.index = 0x0102030405060708ull;
    h.timestamp = 0x1112131415161718ull;
    h.time_a = 0xABCDEF;
    h.time_b = 0x123456;
    const uint8_t frame[] = {0x40, 0x11, 0x22};
    std::vector<uint8_t> bytes;
    append_event_record(bytes, h, frame, sizeof frame);
    ASSERT_EQ(bytes.size(), 33u);
    EXPECT_EQ(bytes[0], 0xC0);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[2], 33);
    EXPECT_EQ(bytes[3], 0x12);
    EXPECT_EQ(bytes[4], 0x34);
    EXPECT_EQ(bytes[5], 0x01);
    EXPECT_EQ(bytes[12], 0x08);
    EXPECT_EQ(bytes[13], 0x11);
    EXPECT_EQ(bytes[21], 0xAB);
    EXPECT_EQ(bytes[24], 0x12);
    EXPECT_EQ(bytes[30], 0x40);
    EventRecord r(bytes.data(), bytes.size());
    EXPECT_EQ(r.length(), 33);
    EXPECT_EQ(r.status(), 0x1234);
    EXPECT_EQ(r.index(), h.index);
    EXPECT_EQ(r.timestamp(), h.timestamp);
    EXPECT_EQ(r.time_a(), 0xABCDEFu);
    EXPECT_EQ(r.time_b(), 0x123456u);
    EXPECT_EQ(r.frame_length(), 3u);
    EXPECT_TRUE(EventRecord::is_well_formed(bytes.data(), bytes.size()));
    EXPECT_FALSE(EventRecord::is_well_formed(bytes.data(), bytes.size() - 1));
}

TEST(EventRecord, StatusBitFields) {
    for (uint8_t mode = 0; mode < 4; ++mode)
        for (uint8_t period = 0; period < 8; ++period) {
            const uint16_t status = make_status(mode, period, STATUS_BIT0 | STATUS_BIT6);
            std::vector<uint8_t> bytes;
            EventHeader h;
            h.status = status;
            append_event_record(bytes, h, nullptr, 0);
            EventRecord r(bytes.data(), bytes.size());
            EXPECT_EQ(r.fcs_mode(), mode);
            EXPECT_EQ(r.period_code(), period);
            EXPECT_EQ(r.status() & 0x7F, STATUS_BIT0 | STATUS_BIT6);
        }
    // Bit 0 is the low bit of the byte at offset 4, bit 8 the low bit of offset 3.
    std::vector<uint8_t> bytes;
    EventHeader h;
    h.status = 0x0101;
    append_event_record(bytes, h, nullptr, 0);
    EXPECT_EQ(bytes[3], 0x01);
    EXPECT_EQ(bytes[4], 0x01);
}

TEST(DeviceInfos, RoundTripsThroughTheLittleEndianBytes) {
    device_infos d{};
    d.index = -2;
    d.sn = 0xA1B2C3D4;
    d.vid = 0x1234;
    d.bar_cnt = 6;
    d.bar_bsz[5] = 0x0102030405060708ull;
    d.bar_base[0] = 0xFFEEDDCCBBAA9988ull;
    d.info_ext2 = 0x55;
    uint8_t bytes[DEVICE_INFOS_SIZE] = {};
    encode_device_infos(d, bytes);
    EXPECT_EQ(bytes[4], 0xD4);
    EXPECT_EQ(bytes[7], 0xA1);
    EXPECT_EQ(bytes[20 + 40], 0x08);
    EXPECT_EQ(bytes[68], 0x88);
    EXPECT_EQ(bytes[128], 0x55);
    const device_infos back = decode_device_infos(bytes);
    // Packed fields are copied before comparing: the matchers bind references.
    const int32_t index = back.index;
    const uint32_t sn = back.sn, ext2 = back.info_ext2;
    const uint64_t bsz5 = back.bar_bsz[5], base0 = back.bar_base[0];
    EXPECT_EQ(index, -2);
    EXPECT_EQ(sn, 0xA1B2C3D4u);
    EXPECT_EQ(bsz5, 0x0102030405060708ull);
    EXPECT_EQ(base0, 0xFFEEDDCCBBAA9988ull);
    EXPECT_EQ(ext2, 0x55u);
}

TEST(DevicePath, FormatsAndParsesOnlyWellFormedPaths) {
    EXPECT_EQ(device_path(3), "\\\\.\\LINKSCOPE3");
    int n = 0;
    EXPECT_TRUE(parse_device_path("\\\\.\\LINKSCOPE16", &n));
    EXPECT_EQ(n, 16);
    EXPECT_TRUE(parse_device_path("\\\\.\\LINKSCOPE255", &n));
    for (const char* bad : {"\\\\.\\LINKSCOPE", "\\\\.\\LINKSCOPE0", "\\\\.\\LINKSCOPE03", "\\\\.\\LINKSCOPE256",
                            "\\\\.\\LINKSCOPE1x", "/dev/linkscope1", "\\\\.\\linkscope1", ""})
        EXPECT_FALSE(parse_device_path(bad, &n)) << bad;
    EXPECT_FALSE(parse_device_path(nullptr, &n));
}

TEST(ControlByte, TwentyKnownBytesWithTheirLengthRules) {
    int known = 0;
    for (int c = 0; c < 256; ++c) known += ControlByte::is_known(static_cast<uint8_t>(c));
    EXPECT_EQ(known, 20);
    EXPECT_EQ(ControlByte::rule(0x03)->min_length, 5);
    EXPECT_EQ(ControlByte::rule(0x03)->max_length, 5);
    EXPECT_TRUE(ControlByte::rule(0x2E)->pdu_checked);
    EXPECT_FALSE(ControlByte::rule(0x08)->pdu_checked);
    EXPECT_EQ(ControlByte::rule(0x94)->max_length, 265);
    EXPECT_EQ(ControlByte::rule(0xB0)->min_length, 3);
    EXPECT_EQ(ControlByte::rule(0x01), nullptr);
    for (std::size_t i = 0; i < ControlByte::KNOWN_COUNT; ++i)
        EXPECT_EQ(ControlByte::report_slot(ControlByte::report_order()[i]), static_cast<int>(i));
    EXPECT_EQ(ControlByte::report_slot(0x40), 19);
    EXPECT_EQ(ControlByte::report_slot(0xFF), -1);
}
