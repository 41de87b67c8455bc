// A sender whose lifesigns never name its card is held no longer than HOLD_US, nor beyond
// HOLD_BYTES held in all, then described as "sn unknown"; a file opened later starts with every
// interface described so far.
#include "tools/busdump/pcapnginterfaces.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool holds(const std::vector<uint8_t>& bytes, const std::string& text) {
    return std::string(bytes.begin(), bytes.end()).find(text) != std::string::npos;
}

}  // namespace

TEST(PcapngInterfaces, ASenderWithoutItsCardIsHeldForABoundedTimeAndSize) {
    busdump::PcapngInterfaces interfaces;
    const std::vector<uint8_t> payload(1000, 0x55);
    busdump::PcapngInterfaces::Datagram d;
    d.source = {0x0A000005, 40000};
    d.destination = {0x7F000001, 57117};
    d.payload = payload.data();
    d.size = payload.size();
    EXPECT_TRUE(interfaces.add(d).empty());
    d.arrival_us = busdump::PcapngInterfaces::HOLD_US - 1;
    EXPECT_TRUE(interfaces.add(d).empty());
    d.arrival_us = busdump::PcapngInterfaces::HOLD_US;
    const std::vector<uint8_t> released = interfaces.add(d);
    EXPECT_TRUE(holds(released, "busgate 10.0.0.5:40000 sn unknown"));
    const std::size_t packet =
        PcapngWriter::enhanced_packet(0, 0, PcapWriter::frame(d.source, d.destination, d.payload, d.size)).size();
    EXPECT_EQ(released.size(),
              PcapngWriter::interface_description({d.source, d.destination, std::nullopt}).size() + 3 * packet);
    EXPECT_TRUE(interfaces.release_all().empty());

    // Held bytes: senders that never name a card cannot make busdump hold without bound.
    const std::vector<uint8_t> big(60000, 0x66);
    d.payload = big.data();
    d.size = big.size();
    std::size_t released_at = 0;
    for (uint16_t port = 1; port < 1000 && !released_at; ++port) {
        d.source.port = port;
        if (!interfaces.add(d).empty()) released_at = port;
    }
    EXPECT_EQ(released_at, busdump::PcapngInterfaces::HOLD_BYTES / (big.size() + PcapWriter::FRAMING_SIZE) + 1);
    EXPECT_TRUE(holds(interfaces.file_start(), "busgate 10.0.0.5:40000 sn unknown"));
    EXPECT_EQ(interfaces.interfaces(), 2u) << "only as many as bring the held bytes back under the bound";
}
