#include "common/stream/lifesignrecord.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

namespace {

LifesignRecord sample_record() {
    LifesignRecord r;
    r.counter = 0x01020304;
    r.created_us = -2;
    r.sn = 0xA1B2C3D4;
    r.cpu_load = 1.0f;  // 3F 80 00 00
    r.cpu_temperature = std::numeric_limits<float>::quiet_NaN();
    r.storage_total = 11;
    r.storage_used = 12;
    r.storage_available = 13;
    r.storage_used_pct = -2.0f;  // C0 00 00 00
    r.ram_total = 21;
    r.ram_used = 22;
    r.ram_available = 23;
    r.ram_used_pct = 0.5f;  // 3F 00 00 00
    r.buf_total = 52429;
    r.buf_used = 31;
    r.buf_free = 32;
    r.buf_used_pct = 100.0f;  // 42 C8 00 00
    r.net_is_active = 1;
    r.net_total_act_duration_us = 0x0102030405060708;
    r.net_act_loss_cnt = 0xBEEF;
    r.net_pkt_sent_cnt = 0xCAFEBABE;
    r.card_is_active = 1;
    r.card_last_inact_duration_us = -1;
    r.card_act_loss_cnt = 7;
    r.card_fcs_mode = 2;
    r.card_aux = 0x5A;
    r.status_b0_cnt = 0x1112131415161718;
    r.status_b4_cnt = 0xF1F2F3F4F5F6F7F8;
    return r;
}

std::vector<uint8_t> bytes_of(const LifesignRecord& r) {
    std::vector<uint8_t> b(lifesign::RECORD_SIZE);
    r.encode(b.data());
    return b;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& b, std::size_t off, std::size_t n) {
    return std::vector<uint8_t>(b.begin() + off, b.begin() + off + n);
}

using Bytes = std::vector<uint8_t>;

}  // namespace

TEST(LifesignRecord, EncodesHeaderFloatsAndCountersBigEndian) {
    const Bytes b = bytes_of(sample_record());
    using namespace lifesign;
    EXPECT_EQ(slice(b, OFF_TYPE, 3), (Bytes{0xC1, 0x01, 0x43}));
    EXPECT_EQ(slice(b, OFF_COUNTER, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(slice(b, OFF_CREATED, 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(slice(b, OFF_SN, 4), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(slice(b, OFF_CPU_LOAD, 4), (Bytes{0x3F, 0x80, 0, 0}));
    EXPECT_EQ(slice(b, OFF_CPU_TEMPERATURE, 4), (Bytes{0x7F, 0xC0, 0, 0}));
    EXPECT_EQ(slice(b, OFF_STORAGE_USED_PCT, 4), (Bytes{0xC0, 0, 0, 0}));
    EXPECT_EQ(slice(b, OFF_RAM_USED_PCT, 4), (Bytes{0x3F, 0, 0, 0}));
    EXPECT_EQ(slice(b, OFF_BUF_TOTAL, 4), (Bytes{0, 0, 0xCC, 0xCD}));
    EXPECT_EQ(slice(b, OFF_BUF_USED_PCT, 4), (Bytes{0x42, 0xC8, 0, 0}));
    EXPECT_EQ(b[OFF_NET_IS_ACTIVE], 1);
    EXPECT_EQ(slice(b, OFF_NET_TOTAL_ACT_DURATION, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(slice(b, OFF_NET_ACT_LOSS_CNT, 2), (Bytes{0xBE, 0xEF}));
    EXPECT_EQ(slice(b, OFF_NET_PKT_SENT_CNT, 4), (Bytes{0xCA, 0xFE, 0xBA, 0xBE}));
    EXPECT_EQ(b[OFF_CARD_IS_ACTIVE], 1);
    EXPECT_EQ(slice(b, OFF_CARD_LAST_INACT_DURATION, 8), Bytes(8, 0xFF));
    EXPECT_EQ(slice(b, OFF_CARD_ACT_LOSS_CNT, 2), (Bytes{0, 7}));
    EXPECT_EQ(b[OFF_CARD_FCS_MODE], 2);
    EXPECT_EQ(b[OFF_CARD_AUX], 0x5A);
    EXPECT_EQ(slice(b, OFF_STATUS_B0_CNT, 8),
              (Bytes{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}));
    EXPECT_EQ(slice(b, OFF_STATUS_B4_CNT, 8),
              (Bytes{0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8}));
    for (std::size_t off : ZERO_FIELDS) EXPECT_EQ(slice(b, off, ZERO_FIELD_SIZE), Bytes(4, 0)) << off;
}

TEST(LifesignRecord, DecodeReturnsWhatWasEncoded) {
    const LifesignRecord in = sample_record();
    const Bytes b = bytes_of(in);
    LifesignRecord out;
    std::string error;
    ASSERT_TRUE(LifesignRecord::decode(b.data(), b.size(), &out, &error)) << error;
    // Byte-exact round trip covers every field, NaN included.
    EXPECT_EQ(bytes_of(out), b);
    EXPECT_TRUE(std::isnan(out.cpu_temperature));
    EXPECT_EQ(out.counter, in.counter);
    EXPECT_EQ(out.created_us, -2);
    EXPECT_EQ(out.status_b4_cnt, in.status_b4_cnt);
    EXPECT_EQ(out.card_last_inact_duration_us, -1);
}

TEST(LifesignRecord, DecodeRefusesShortOrForeignRecords) {
    Bytes b = bytes_of(sample_record());
    LifesignRecord out;
    out.counter = 99;
    std::string error;
    EXPECT_FALSE(LifesignRecord::decode(b.data(), lifesign::RECORD_SIZE - 1, &out, &error));
    EXPECT_NE(error.find("truncated"), std::string::npos);
    EXPECT_FALSE(LifesignRecord::decode(nullptr, 0, &out, &error));

    Bytes event = b;
    event[0] = 0xC0;
    EXPECT_FALSE(LifesignRecord::decode(event.data(), event.size(), &out, &error));
    EXPECT_NE(error.find("type"), std::string::npos);

    Bytes wrong_length = b;
    wrong_length[2] = 0x44;
    EXPECT_FALSE(LifesignRecord::decode(wrong_length.data(), wrong_length.size(), &out, &error));
    EXPECT_NE(error.find("length"), std::string::npos);
    EXPECT_EQ(out.counter, 99u) << "a refused record leaves the output alone";

    // Trailing bytes (the next record of a datagram) are not part of this one.
    b.push_back(0xC0);
    EXPECT_TRUE(LifesignRecord::decode(b.data(), b.size(), &out));
}

struct ThousandsCase {
    uint32_t bytes;
    uint32_t thousands;
};

class BytesInThousands : public ::testing::TestWithParam<ThousandsCase> {};

TEST_P(BytesInThousands, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(lifesign::bytes_in_thousands(GetParam().bytes), GetParam().thousands);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, BytesInThousands,
                         ::testing::Values(ThousandsCase{0, 0}, ThousandsCase{499, 0},
                                           ThousandsCase{500, 1}, ThousandsCase{1499, 1},
                                           ThousandsCase{1500, 2}, ThousandsCase{52428800, 52429},
                                           ThousandsCase{4294967295u, 4294967}));
