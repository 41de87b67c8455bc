#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "common/driver/byteorder.h"
#include "common/stream/pcapwriter.h"

using linkscope::load_be16;
using linkscope::load_be32;
using linkscope::load_le32;

TEST(PcapWriter, PacketFramingAroundTheDatagram) {
    const std::vector<uint8_t> payload = {'L', 'S', 1, 0, 9, 9, 9};
    const PcapWriter::Endpoint source{0x7F000001, 40000};
    const PcapWriter::Endpoint destination{0x7F000002, 57117};
    const auto p = PcapWriter::packet(1765141445123456, source, destination, payload.data(), payload.size(), 7);

    ASSERT_EQ(p.size(), 16u + 14 + 20 + 8 + payload.size());
    EXPECT_EQ(load_le32(&p[0]), 1765141445u);
    EXPECT_EQ(load_le32(&p[4]), 123456u);
    EXPECT_EQ(load_le32(&p[8]), p.size() - 16);
    EXPECT_EQ(load_le32(&p[12]), p.size() - 16);
    const uint8_t* eth = &p[16];
    EXPECT_EQ(load_be16(eth + 12), 0x0800);
    const uint8_t* ip = eth + 14;
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(load_be16(ip + 2), 20 + 8 + payload.size());
    EXPECT_EQ(load_be16(ip + 4), 7);
    EXPECT_EQ(ip[9], 17);
    EXPECT_EQ(load_be32(ip + 12), source.address);
    EXPECT_EQ(load_be32(ip + 16), destination.address);
    EXPECT_EQ(PcapWriter::ipv4_checksum(ip, 20), 0) << "a header with its checksum sums to all ones";
    const uint8_t* udp = ip + 20;
    EXPECT_EQ(load_be16(udp), 40000);
    EXPECT_EQ(load_be16(udp + 2), 57117);
    EXPECT_EQ(load_be16(udp + 4), 8 + payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), udp + 8));
}

TEST(PcapWriter, FileStartsWithTheClassicHeader) {
    const std::string path = testing::TempDir() + "busdump_header_" + std::to_string(getpid()) + ".pcap";
    PcapWriter writer;
    ASSERT_TRUE(writer.open(path)) << writer.error();
    const std::vector<uint8_t> payload(100, 0xAB);
    ASSERT_TRUE(writer.write(1000001, {1, 2}, {3, 4}, payload.data(), payload.size()));
    ASSERT_TRUE(writer.write(1000002, {1, 2}, {3, 4}, payload.data(), payload.size()));

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 24u + 2 * (16 + 42 + 100));
    EXPECT_EQ(load_le32(&bytes[0]), 0xA1B2C3D4u);
    EXPECT_EQ(load_le32(&bytes[20]), 1u) << "Ethernet link type";
    const uint8_t* second_ip = &bytes[24 + 158 + 16 + 14];
    EXPECT_EQ(load_be16(second_ip + 4), 2) << "each packet its own IP identification";
}

TEST(PcapWriter, RefusesWhatNoIpv4PacketCanCarry) {
    const std::string path = testing::TempDir() + "busdump_big_" + std::to_string(getpid()) + ".pcap";
    PcapWriter writer;
    ASSERT_TRUE(writer.open(path));
    const std::vector<uint8_t> payload(PcapWriter::MAX_PAYLOAD + 1, 0);
    EXPECT_FALSE(writer.write(0, {}, {}, payload.data(), payload.size()));
    EXPECT_TRUE(writer.write(0, {}, {}, payload.data(), PcapWriter::MAX_PAYLOAD));
}

TEST(PcapWriter, UnwritablePathIsAnError) {
    PcapWriter writer;
    EXPECT_FALSE(writer.open("/nonexistent-dir/x.pcap"));
    EXPECT_NE(writer.error().find("/nonexistent-dir/x.pcap"), std::string::npos);
}
