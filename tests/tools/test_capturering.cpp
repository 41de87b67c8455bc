// The ring's rules on a clock the test sets: where files start and close, what is deleted, how
// an outage is told and ends; the keeper's windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "tests/support/scratchdirectory.h"
#include "tools/busdump/capturekeeper.h"
#include "tools/busdump/capturering.h"
#include "tools/busdump/timetext.h"

using namespace busdump;
namespace fs = std::filesystem;

namespace {

constexpr int64_t S = 1000000;
// 2021-01-01T00:00:00Z: a whole hour, so that periods fall on round names.
constexpr int64_t T0 = 1609459200 * S;
const std::vector<uint8_t> DATAGRAM(1000, 0x5A);
const uint64_t TWO_PACKETS = 24 + 2 * CaptureOutput().packet_size(1000);

struct Harness {
    testsupport::ScratchDirectory scratch{"busdump-ring-unit"};
    std::vector<std::string> lines;
    std::unique_ptr<CaptureRing> ring;

    explicit Harness(const RingSettings& settings) {
        ring = std::make_unique<CaptureRing>(scratch / "cap.pcap", settings,
                                             [this](const std::string& line) { lines.push_back(line); });
    }
    bool write(int64_t at) { return ring->write(at, {0x7F000001, 1000}, {0x7F000001, 57117}, DATAGRAM.data(), DATAGRAM.size()); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(scratch.path())) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

struct RingCase {
    const char* name;
    RingSettings settings;
    std::vector<int64_t> writes;  // arrival times
    std::vector<std::string> names;
};

void PrintTo(const RingCase& c, std::ostream* out) { *out << c.name; }

class RingRules : public testing::TestWithParam<RingCase> {};

TEST_P(RingRules, FilesStartCloseAndGoAsTheSettingsSay) {
    const RingCase& c = GetParam();
    Harness h(c.settings);
    ASSERT_TRUE(h.ring->start(T0 + S / 2)) << h.ring->error();
    int64_t clock = T0 + S / 2;
    for (int64_t at : c.writes) {
        // busdump's timer ticks between datagrams.
        for (; clock < at; clock += S) h.ring->tick(clock);
        ASSERT_TRUE(h.write(at)) << at;
    }
    h.ring->close(c.writes.back());
    EXPECT_EQ(h.names(), c.names);
    EXPECT_TRUE(h.lines.empty()) << h.lines.front();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingRules,
    testing::Values(
        // The first file starts with the run, the next ones on the clock's minutes; a minute
        // without datagrams still has its file.
        RingCase{"PeriodsAlignedToTheClock", {0, 60 * S, 0, 0}, {T0 + S, T0 + 59 * S, T0 + 60 * S, T0 + 185 * S},
                 {"cap_20210101T000000Z_000001.pcap", "cap_20210101T000100Z_000002.pcap",
                  "cap_20210101T000200Z_000003.pcap", "cap_20210101T000300Z_000004.pcap"}},
        RingCase{"SizeClosesBeforeTheFileWouldPassIt", {TWO_PACKETS, 0, 0, 0}, {T0 + S, T0 + S, T0 + 2 * S, T0 + 3 * S, T0 + 4 * S},
                 {"cap_20210101T000000Z_000001.pcap", "cap_20210101T000002Z_000002.pcap",
                  "cap_20210101T000004Z_000003.pcap"}},
        // A budget without -C: files of a tenth of it, with -G too.
        RingCase{"BudgetSizesTheFilesOfPeriods", {0, 3600 * S, 0, 10 * TWO_PACKETS}, {T0 + S, T0 + S, T0 + 2 * S, T0 + 3 * S, T0 + 4 * S},
                 {"cap_20210101T000000Z_000001.pcap", "cap_20210101T000002Z_000002.pcap",
                  "cap_20210101T000004Z_000003.pcap"}},
        RingCase{"AtMostWClosedFiles", {TWO_PACKETS, 0, 2, 0}, {T0 + S, T0 + S, T0 + 2 * S, T0 + 3 * S, T0 + 4 * S, T0 + 5 * S, T0 + 6 * S},
                 {"cap_20210101T000004Z_000003.pcap", "cap_20210101T000006Z_000004.pcap"}}),
    [](const testing::TestParamInfo<RingCase>& info) { return std::string(info.param.name); });

TEST(RingRules_, AnEarlierRunsFilesJoinTheRingAndItsSequenceGoesOn) {
    Harness h({0, 60 * S, 2, 0});
    std::ofstream(h.scratch / "cap_20201231T230000Z_000007.pcap") << "x";
    std::ofstream(h.scratch / "cap_20201231T230100Z_000008.pcap.part") << "x";
    std::ofstream(h.scratch / "cap_20201231T230200Z_000009.pcap") << "x";
    for (const char* other : {"other.pcap", "cap_20201231T230000Z_000001.pcapng", "cap_20201231T250000Z_000001.pcap"})
        std::ofstream(h.scratch / other) << "x";
    ASSERT_TRUE(h.ring->start(T0));
    EXPECT_EQ(h.names(), (std::vector<std::string>{"cap_20201231T230000Z_000001.pcapng", "cap_20201231T230100Z_000008.pcap.part",
                                                    "cap_20201231T230200Z_000009.pcap", "cap_20201231T250000Z_000001.pcap",
                                                    "cap_20210101T000000Z_000010.pcap.part", "other.pcap"}))
        << "the oldest of the ring deleted for -W 2; names of other patterns left alone";
    ASSERT_EQ(h.lines.size(), 1u);
    EXPECT_NE(h.lines[0].find("1 file(s) of an earlier run"), std::string::npos) << h.lines[0];
}

// A folder that goes away: the file being written is kept whole, the failure is told once,
// every datagram meanwhile is not written, and once the folder is back writing resumes, told.
TEST(RingRules_, AnOutageIsToldOnceCountedAndEnds) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows renames no folder that holds an open file";
#endif
    Harness h({TWO_PACKETS, 0, 0, 0});
    ASSERT_TRUE(h.ring->start(T0));
    ASSERT_TRUE(h.write(T0));
    ASSERT_TRUE(h.write(T0));
    fs::rename(h.scratch.path(), h.scratch.path() + ".gone");
    int not_written = 0;
    for (int i = 1; i <= 20; ++i) not_written += !h.write(T0 + i * S / 10);
    EXPECT_EQ(not_written, 20);
    std::size_t told = 0;
    for (const std::string& line : h.lines) told += line.find("cannot write") != std::string::npos;
    EXPECT_EQ(told, 1u);
    fs::rename(h.scratch.path() + ".gone", h.scratch.path());
    EXPECT_TRUE(h.write(T0 + 3 * S)) << "a new file is tried once a second has passed";
    ASSERT_FALSE(h.lines.empty());
    EXPECT_NE(h.lines.back().find("writing again"), std::string::npos) << h.lines.back();
    EXPECT_NE(h.lines.back().find("(20 datagrams were not written)"), std::string::npos) << h.lines.back();
    h.ring->close(T0 + 4 * S);
    for (const std::string& name : h.names()) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

struct KeeperHarness {
    testsupport::ScratchDirectory scratch{"busdump-keep-unit"};
    std::vector<std::string> lines;
    CaptureKeeper keeper{{scratch / "keep", 60 * S, 60 * S}, [this](const std::string& l) { lines.push_back(l); }};

    RingFile file(int minute, bool open = false) {
        fs::create_directories(scratch / "ring");
        RingFile f{scratch / "ring/f" + std::to_string(minute), T0 + minute * 60 * S, T0 + (minute + 1) * 60 * S, 1, open};
        std::ofstream(f.path) << minute;
        return f;
    }
    std::string json(const std::string& name) {
        std::ifstream in(scratch / ("keep/" + name));
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

TEST(CaptureKeeper, OverlappingMomentsShareOneWindowThatCompletesWhenAFileClosesPastIt) {
    KeeperHarness k;
    ASSERT_TRUE(k.keeper.start(k.scratch / "ring2")) << k.keeper.error();
    const std::vector<RingFile> ring = {k.file(0), k.file(1), k.file(2), k.file(3, true)};
    k.keeper.request(T0 + 3 * 60 * S + 30 * S, "alert", "#1 127.0.0.1:1000 sn 0x4c530001", "station_missing 5", ring);
    k.keeper.request(T0 + 4 * 60 * S, "signal", "all", "SIGUSR1", ring);
    const std::string name = "keep_20210101T000230Z.json";
    EXPECT_NE(k.json(name).find("\"files\":[\"f2\"]"), std::string::npos) << k.json(name);
    EXPECT_NE(k.json(name).find("\"complete\":false"), std::string::npos);
    k.keeper.file_closed(k.file(3));
    EXPECT_NE(k.json(name).find("\"complete\":false"), std::string::npos) << "the window runs to 00:05:00";
    k.keeper.file_closed(k.file(4));
    k.keeper.file_closed(k.file(5));
    const std::string json = k.json(name);
    EXPECT_NE(json.find("\"from\":\"2021-01-01T00:02:30.000000Z\",\"to\":\"2021-01-01T00:05:00.000000Z\",\"complete\":true"),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"files\":[\"f2\",\"f3\",\"f4\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"why\":\"alert\",\"at\":\"2021-01-01T00:03:30.000000Z\",\"sender\":\"#1 127.0.0.1:1000 sn "
                        "0x4c530001\",\"what\":\"station_missing 5\"},{\"why\":\"signal\""),
              std::string::npos) << json;
    EXPECT_FALSE(fs::exists(k.scratch / "keep/f5")) << "closed after the window";
    k.keeper.request(T0 + 20 * 60 * S, "request", "all", "", {k.file(19), k.file(20, true)});
    EXPECT_TRUE(fs::exists(k.scratch / "keep/keep_20210101T001900Z.json")) << "far later: a window of its own";
}

}  // namespace

// A request is taken from a plain file only: anything else of that name (a FIFO would make the
// reading wait for a writer, and the receiving loop with it) is left alone.
TEST(CaptureKeeper, ARequestIsTakenFromAPlainFileOnly) {
    KeeperHarness k;
    fs::create_directories(k.scratch / "keep");
    const std::string request = k.scratch / (std::string("keep/") + CaptureKeeper::REQUEST_FILE);
    std::string note;
#ifndef _WIN32
    ASSERT_EQ(mkfifo(request.c_str(), 0600), 0);
    EXPECT_FALSE(k.keeper.take_request(note));
    fs::remove(request);
#endif
    std::ofstream(request) << "after the commissioning";
    EXPECT_TRUE(k.keeper.take_request(note));
    EXPECT_EQ(note, "after the commissioning");
    EXPECT_FALSE(fs::exists(request)) << "taken once";
}
