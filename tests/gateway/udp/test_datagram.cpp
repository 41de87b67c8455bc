#include "gateway/udp/datagram.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<char> record_of(std::size_t length) {
    std::vector<char> record(length, 0x5A);
    record[0] = static_cast<char>(0xC0);
    return record;
}

}  // namespace

TEST(DatagramHeader, EncodesBigEndianAtFixedOffsets) {
    uint8_t bytes[Datagram::HEADER_SIZE];
    Datagram::encode_header({0x0102030405060708ull, 0x0A0B0C0Du}, bytes);
    const uint8_t expected[] = {'L', 'S', 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof bytes), std::vector<uint8_t>(expected, expected + 16));

    Datagram::Header decoded;
    ASSERT_TRUE(Datagram::decode_header(bytes, sizeof bytes, decoded));
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
    uint8_t bytes[Datagram::HEADER_SIZE];
    Datagram::encode_header({1, 1}, bytes);
    bytes[GetParam().offset] = GetParam().value;
    Datagram::Header decoded{77, 77};
    EXPECT_FALSE(Datagram::decode_header(bytes, GetParam().size, decoded));
    EXPECT_EQ(decoded.sequence, 77u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DatagramHeaderRejects,
                         ::testing::Values(BadHeader{"magic0", 0, 'l', 16}, BadHeader{"magic1", 1, 'X', 16},
                                           BadHeader{"mark", 2, 0x02, 16}, BadHeader{"reserved", 3, 0x01, 16},
                                           BadHeader{"short", 4, 0x00, 15}, BadHeader{"empty", 4, 0x00, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Datagram, CloseWritesTheHeaderInFrontOfThePayload) {
    Datagram datagram;
    EXPECT_TRUE(datagram.empty());
    datagram.append(record_of(30));
    datagram.append(std::vector<char>{});
    datagram.append(record_of(5));
    const std::vector<uint8_t>& bytes = datagram.close(9);
    ASSERT_EQ(bytes.size(), 16u + 35u);
    Datagram::Header header;
    ASSERT_TRUE(Datagram::decode_header(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.sequence, 9u);
    EXPECT_EQ(header.record_count, 3u);
    EXPECT_EQ(bytes[16], 0xC0);
    datagram.clear();
    EXPECT_TRUE(datagram.empty());
    EXPECT_EQ(datagram.size(), Datagram::HEADER_SIZE);
}

TEST(Datagram, ThresholdIsStrictlyMoreThan64994) {
    Datagram datagram;
    datagram.append(record_of(64994));
    EXPECT_FALSE(datagram.payload_over_threshold());
    datagram.append(record_of(1));
    EXPECT_TRUE(datagram.payload_over_threshold());
}

TEST(Datagram, RoomEndsAtTheIPv4Limit) {
    Datagram datagram;
    datagram.append(record_of(64990));
    // 16 + 64990 + 501 = 65507: the last record that still fits.
    EXPECT_TRUE(datagram.has_room_for(501));
    EXPECT_FALSE(datagram.has_room_for(502));
    EXPECT_TRUE(Datagram().has_room_for(Datagram::MAX_UDP_PAYLOAD - Datagram::HEADER_SIZE));
    EXPECT_FALSE(Datagram().has_room_for(65535));
}
