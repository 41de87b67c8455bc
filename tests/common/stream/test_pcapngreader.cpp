// pcapng read through CaptureFile: either byte order, time stamp resolutions and offsets, blocks
// it steps over, interfaces of link types it does not know, and every kind of damage refused
// with where and why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "common/driver/byteorder.h"
#include "common/stream/capturefile.h"
#include "common/stream/pcapngwriter.h"

namespace {

using N = PcapngFormat;

// Blocks in either byte order, as other tools write them.
struct Builder {
    bool big = false;
    std::vector<uint8_t> bytes;

    void word(std::vector<uint8_t>& out, uint32_t v) const {
        out.resize(out.size() + 4);
        big ? linkscope::store_be32(&out[out.size() - 4], v) : linkscope::store_le32(&out[out.size() - 4], v);
    }
    void half(std::vector<uint8_t>& out, uint16_t v) const {
        out.resize(out.size() + 2);
        big ? linkscope::store_be16(&out[out.size() - 2], v) : linkscope::store_le16(&out[out.size() - 2], v);
    }
    Builder& block(uint32_t type, std::vector<uint8_t> body) {
        body.resize(N::padded(body.size()));
        word(bytes, type);
        word(bytes, static_cast<uint32_t>(body.size() + N::BLOCK_MIN_SIZE));
        bytes.insert(bytes.end(), body.begin(), body.end());
        word(bytes, static_cast<uint32_t>(body.size() + N::BLOCK_MIN_SIZE));
        return *this;
    }
    Builder& section(uint16_t major = 1) {
        std::vector<uint8_t> body;
        word(body, N::BYTE_ORDER_MAGIC);
        half(body, major);
        half(body, 0);
        word(body, 0xFFFFFFFF);
        word(body, 0xFFFFFFFF);
        return block(N::BLOCK_SECTION_HEADER, body);
    }
    Builder& interface(uint16_t link_type, int resolution = -1) {
        std::vector<uint8_t> body;
        half(body, link_type);
        half(body, 0);
        word(body, 65535);
        if (resolution >= 0) {
            half(body, N::OPT_IF_TSRESOL);
            half(body, 1);
            body.insert(body.end(), {static_cast<uint8_t>(resolution), 0, 0, 0});
        }
        return block(N::BLOCK_INTERFACE_DESCRIPTION, body);
    }
    Builder& packet(uint32_t interface, uint64_t stamp, uint32_t captured_extra = 0) {
        const std::vector<uint8_t> payload = {'L', 'S', 1, 0};
        const std::vector<uint8_t> frame = PcapWriter::frame({0x0A000005, 40000}, {0x7F000001, 57117}, payload.data(), payload.size());
        std::vector<uint8_t> body;
        word(body, interface);
        word(body, static_cast<uint32_t>(stamp >> 32));
        word(body, static_cast<uint32_t>(stamp));
        word(body, static_cast<uint32_t>(frame.size()) + captured_extra);
        word(body, static_cast<uint32_t>(frame.size()));
        body.insert(body.end(), frame.begin(), frame.end());
        return block(N::BLOCK_ENHANCED_PACKET, body);
    }
};

struct Outcome {
    std::string open_error;  // empty: opened
    std::vector<int64_t> times;
    uint64_t skipped = 0;
    uint32_t unknown_link_type = 0;
    std::string problem;
};

Outcome read(const std::vector<uint8_t>& bytes) {
    const std::string path = ::testing::TempDir() + "pcapng-" + std::to_string(getpid()) + ".pcapng";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    Outcome outcome;
    auto file = CaptureFile::open(path, &outcome.open_error);
    CaptureFile::Packet packet;
    while (file && file->next(packet)) {
        outcome.times.push_back(packet.time_us);
        EXPECT_EQ(packet.source_address, 0x0A000005u);
        EXPECT_EQ(packet.payload, (std::vector<uint8_t>{'L', 'S', 1, 0}));
    }
    if (file) {
        outcome.skipped = file->skipped();
        outcome.unknown_link_type = file->unknown_link_type();
        outcome.problem = file->problem();
        EXPECT_EQ(file->damaged(), !outcome.problem.empty());
    }
    std::remove(path.c_str());
    return outcome;
}

}  // namespace

TEST(PcapngReader, ReadsWhatToolsWriteAndRefusesDamageWithWhereAndWhy) {
    const auto cut = [](std::vector<uint8_t> bytes, std::size_t n) { bytes.resize(bytes.size() - n); return bytes; };
    const auto poke = [](std::vector<uint8_t> bytes, std::size_t at, uint8_t v) { bytes[at] = v; return bytes; };
    const Builder le = Builder{}.section().interface(1);
    const Builder be = Builder{true, {}}.section().interface(1, 9);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::vector<int64_t> times;
        std::string problem;  // a part of problem() or of the open error
    };
    const Case cases[] = {
        {"little-endian, microseconds", Builder(le).packet(0, 5000001).packet(0, 7).bytes, {5000001, 7}, ""},
        {"big-endian, nanoseconds", Builder(be).packet(0, 5000001999).bytes, {5000001}, ""},
        {"binary resolution", Builder{}.section().interface(1, 0x80 | 20).packet(0, 3u << 20).bytes, {3000000}, ""},
        {"a custom block stepped over", Builder(le).block(0x40000BAD, {1, 2, 3}).packet(0, 1).bytes, {1}, ""},
        {"a second section resets the interfaces",
         Builder(le).packet(0, 1).section().interface(1, 3).packet(0, 2).bytes, {1, 2000}, ""},
        {"unknown link type: skipped", Builder{}.section().interface(147).packet(0, 1).bytes, {}, ""},
        {"cut short", cut(Builder(le).packet(0, 1).packet(0, 2).bytes, 3), {1}, "ends inside the block"},
        {"trailer differs", poke(Builder(le).packet(0, 1).bytes, Builder(le).packet(0, 1).bytes.size() - 4, 0x10), {},
         "two lengths differ"},
        {"undescribed interface", Builder(le).packet(1, 1).bytes, {}, "interface 1, which no block described"},
        {"misaligned length", poke(Builder(le).packet(0, 1).bytes, le.bytes.size() + 4, 0x3E), {}, "impossible block length"},
        {"captured beyond the block", Builder(le).packet(0, 1, 64).bytes, {}, "longer than its block"},
        {"version 2", Builder{}.section(2).bytes, {}, "pcapng version 2"},
        {"no byte-order magic", poke(le.bytes, 8, 0), {}, "without the byte-order magic"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = read(c.bytes);
        EXPECT_EQ(outcome.times, c.times) << c.what;
        const std::string& told = outcome.open_error.empty() ? outcome.problem : outcome.open_error;
        if (c.problem.empty()) EXPECT_EQ(told, "") << c.what;
        else EXPECT_NE(told.find(c.problem), std::string::npos) << c.what << ": " << told;
    }
    const Outcome unknown = read(Builder{}.section().interface(147).packet(0, 1).bytes);
    EXPECT_EQ(unknown.unknown_link_type, 147u);
    EXPECT_EQ(unknown.skipped, 1u);
}
