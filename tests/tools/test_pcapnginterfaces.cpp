// A sender whose lifesigns never name its card is held no longer than HOLD_US, nor beyond
// HOLD_BYTES held in all, then described as "sn unknown"; a file opened later starts with every
// interface described so far. Held datagrams that a failing file can no longer take are
// counted as not written.
#include "tools/busdump/pcapnginterfaces.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/support/scratchdirectory.h"
#include "tools/busdump/captureoutput.h"

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

// The file is a FIFO whose reader goes away: the next write fails. Whether the failure comes
// from a datagram of another sender, from the one that names the held sender (and so carries
// the held ones) or at the close, the datagrams held for a sender whose card was not known yet
// are counted as not written, each once; the failing datagram is its caller's to count.
TEST(PcapngInterfaces, HeldDatagramsAFailedFileCannotTakeAreCountedAsNotWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "a FIFO whose reader leaves is a POSIX file";
#else
    const std::vector<uint8_t> payload(1000, 0x55);
    const PcapWriter::Endpoint held{0x0A000005, 40000}, other{0x0A000006, 40000}, to{0x7F000001, 57117};
    struct Case {
        const char* name;
        std::optional<PcapWriter::Endpoint> failing_from;  // none: the close fails
    };
    for (const Case& c : {Case{"another sender's datagram", other}, Case{"the datagram that names it", held},
                          Case{"the close", std::nullopt}}) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchDirectory scratch{"busdump-held-unit"};
        const std::string fifo = scratch / "live.pcapng";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        busdump::CaptureOutput output;
        ASSERT_TRUE(output.open(fifo, busdump::CaptureOutput::Format::pcapng));
        ASSERT_EQ(output.state(), busdump::CaptureOutput::State::writing);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(output.write(i, held, to, payload.data(), payload.size()), busdump::CaptureOutput::Written::yes);
        ::close(reader);
        if (c.failing_from) {
            busdump::CaptureOutput::Note note;
            note.serial = 7;
            EXPECT_EQ(output.write(4, *c.failing_from, to, payload.data(), payload.size(), note),
                      busdump::CaptureOutput::Written::failed_now);
        } else {
            EXPECT_FALSE(output.close());
        }
        EXPECT_EQ(output.take_unwritten_held(), 3u);
        output.close();
        EXPECT_EQ(output.take_unwritten_held(), 0u) << "counted once";
    }
#endif
}
