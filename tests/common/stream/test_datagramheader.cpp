#include "common/stream/datagramheader.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

TEST(DatagramHeader, EncodesBigEndianAtFixedOffsets) {
    uint8_t bytes[DatagramHeader::HEADER_SIZE];
    DatagramHeader{0x0102030405060708ull, 0x0A0B0C0Du}.encode(bytes);
    const uint8_t expected[] = {'L', 'S', 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof bytes), std::vector<uint8_t>(expected, expected + 16));

    DatagramHeader decoded;
    ASSERT_TRUE(DatagramHeader::decode(bytes, sizeof bytes, decoded));
    EXPECT_EQ(decoded.sequence, 0x0102030405060708ull);
    EXPECT_EQ(decoded.record_count, 0x0A0B0C0Du);
}

struct BadHeader {
    const char* name;
    std::size_t offset;
    uint8_t value;
    std::size_t size;
};

class DatagramHeaderRejects : public ::testing::TestWithParam<BadHeader> {};

TEST_P(DatagramHeaderRejects, MalformedBytes) {
    uint8_t bytes[DatagramHeader::HEADER_SIZE];
    DatagramHeader{1, 1}.encode(bytes);
    bytes[GetParam().offset] = GetParam().value;
    DatagramHeader decoded{77, 77};
    EXPECT_FALSE(DatagramHeader::decode(bytes, GetParam().size, decoded));
    EXPECT_EQ(decoded.sequence, 77u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DatagramHeaderRejects,
                         ::testing::Values(BadHeader{"magic0", 0, 'l', 16}, BadHeader{"magic1", 1, 'X', 16},
                                           BadHeader{"mark", 2, 0x02, 16}, BadHeader{"reserved", 3, 0x01, 16},
                                           BadHeader{"short", 4, 0x00, 15}, BadHeader{"empty", 4, 0x00, 0}),
                         [](const auto& info) { return std::string(info.param.name); });
