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

TEST(Datagram, CloseWritesTheHeaderInFrontOfThePayload) {
    Datagram datagram;
    EXPECT_TRUE(datagram.empty());
    datagram.append(record_of(30));
    datagram.append(std::vector<char>{});
    datagram.append(record_of(5));
    const std::vector<uint8_t>& bytes = datagram.close(9);
    ASSERT_EQ(bytes.size(), 16u + 35u);
    DatagramHeader header;
    ASSERT_TRUE(DatagramHeader::decode(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.sequence, 9u);
    EXPECT_EQ(header.record_count, 3u);
    EXPECT_EQ(bytes[16], 0xC0);
    datagram.clear();
    EXPECT_TRUE(datagram.empty());
    EXPECT_EQ(datagram.size(), DatagramHeader::HEADER_SIZE);
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
    EXPECT_TRUE(Datagram().has_room_for(Datagram::MAX_UDP_PAYLOAD - DatagramHeader::HEADER_SIZE));
    EXPECT_FALSE(Datagram().has_room_for(65535));
}
