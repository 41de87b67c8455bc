// busdump as an always-on recorder beside a gateway on a simulated card at full bus rate: a ring
// of size- and time-rotated files that together hold every datagram received, the files around
// an alert, SIGUSR1 or a --keep-now request kept with their JSON, and a disk budget on a small
// file system that fills up and is freed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/eventrecord.h"
#include "common/stream/capturefile.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

using namespace std::chrono_literals;
using integration::GatewayProcess;
namespace fs = std::filesystem;

namespace {

constexpr int64_t US = 1000000;

uint16_t free_port() {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, {boost::asio::ip::address_v4::loopback(), 0});
    return socket.local_endpoint().port();
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Microseconds of "YYYY-MM-DDThh:mm:ss.uuuuuuZ" or "YYYYMMDDThhmmssZ" (UTC).
int64_t utc_us(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, u = 0;
    const bool iso = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &y, &mo, &d, &h, &mi, &s, &u) == 7;
    EXPECT_TRUE(iso || std::sscanf(text.c_str(), "%4d%2d%2dT%2d%2d%2dZ", &y, &mo, &d, &h, &mi, &s) == 6) << text;
    y -= mo <= 2;
    const int64_t era = y / 400, yoe = y - era * 400;
    const int64_t doy = (153 * (mo > 2 ? mo - 3 : mo + 9) + 2) / 5 + d - 1;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return ((days * 86400 + h * 3600 + mi * 60 + s) * US) + u;
}

struct RingFileRead {
    std::string name;
    uint64_t bytes = 0;
    std::vector<CaptureFile::Packet> packets;
};

// The closed files of a folder in name order, each read back through the capture reader.
std::vector<RingFileRead> read_ring(const std::string& folder) {
    std::vector<RingFileRead> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".pcap") continue;
        RingFileRead file{name, fs::file_size(entry.path()), {}};
        std::string error;
        auto capture = CaptureFile::open(entry.path().string(), &error);
        EXPECT_TRUE(capture) << name << ": " << error;
        if (!capture) continue;
        for (CaptureFile::Packet packet; capture->next(packet);) file.packets.push_back(packet);
        EXPECT_FALSE(capture->damaged()) << name;
        out.push_back(std::move(file));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

// The number that `format` reads where `label` first appears in busdump's output.
unsigned long long count_after(const std::string& out, const char* label, const char* format) {
    unsigned long long n = 0;
    const std::size_t at = out.find(label);
    EXPECT_TRUE(at != std::string::npos && std::sscanf(out.c_str() + at, format, &n) == 1) << label << " in\n" << out;
    return n;
}

class BusdumpRing : public ::testing::Test {
protected:
    void SetUp() override {
        if (integration::busgated_path().empty()) GTEST_SKIP() << "BUSGATED names the gateway under test";
    }

    std::unique_ptr<GatewayProcess> gateway(const std::string& sim = "1") {
        return std::make_unique<GatewayProcess>(
            integration::busgated_path(),
            std::vector<std::string>{"-a", "127.0.0.1", "-p", std::to_string(port_), "-B", dir_ + "/gw/buffer.bin", "-S",
                                     "8388608"},
            std::map<std::string, std::string>{{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ + "/locks"}});
    }

    std::unique_ptr<GatewayProcess> busdump(std::vector<std::string> args) {
        args.insert(args.begin(), {"-b", "127.0.0.1", "-p", std::to_string(port_), "-s"});
        return std::make_unique<GatewayProcess>(BUSDUMP_PATH, args);
    }

    const uint16_t port_ = free_port();
    testsupport::ScratchDirectory scratch_{"busdump-ring"};
    const std::string dir_ = scratch_.path();
    const std::string ring_ = dir_ + "/ring";
};

TEST_F(BusdumpRing, SizeAndTimeRotatedFilesHoldTheWholeStream) {
    fs::create_directories(ring_);
    constexpr uint64_t FILE_BYTES = 300000;
    auto recorder = busdump({"-w", ring_ + "/cap.pcap", "-C", "0.3", "-G", "1"});
    std::this_thread::sleep_for(300ms);
    auto gw = gateway();
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(gw->send_signal(SIGINT));
    ASSERT_EQ(gw->wait_exit(5s), 0) << gw->stdout_text();
    std::this_thread::sleep_for(300ms);
    // SIGTERM closes the file being written as SIGINT does (Windows has no SIGTERM to send).
    ASSERT_TRUE(recorder->send_signal(GatewayProcess::can_send(SIGTERM) ? SIGTERM : SIGINT));
    ASSERT_EQ(recorder->wait_exit(5s), 0) << recorder->stderr_text();

    for (const auto& entry : fs::directory_iterator(ring_))
        EXPECT_NE(entry.path().extension(), ".part") << "a file left open: " << entry.path();
    const auto files = read_ring(ring_);
    ASSERT_GE(files.size(), 6u);
    uint64_t sequence = 0, index = 0, datagrams = 0;
    std::size_t closed_by_size = 0;
    for (const RingFileRead& file : files) {
        EXPECT_LE(file.bytes, FILE_BYTES) << file.name;
        if (file.bytes + 16 + 42 + 65507 > FILE_BYTES) ++closed_by_size;
        // cap_YYYYMMDDThhmmssZ_NNNNNN.pcap: no packet before the named second, none past the
        // end of the clock's second in which the file started.
        const int64_t named = utc_us(file.name.substr(4, 16));
        for (const CaptureFile::Packet& packet : file.packets) {
            EXPECT_GE(packet.time_us, named) << file.name;
            EXPECT_LT(packet.time_us, named + US) << file.name << ": past its period";
            std::string error;
            const auto d = integration::parse_datagram(packet.payload.data(), packet.payload.size(), &error);
            ASSERT_TRUE(d) << file.name << ": " << error;
            ASSERT_EQ(d->sequence, ++sequence) << file.name << ": a datagram missing between files";
            ++datagrams;
            for (const auto& record : d->records) {
                if (record[0] != integration::DatagramReceiver::EVENT_RECORD_TYPE) continue;
                const linkscope::EventRecord event(record.data(), record.size());
                ASSERT_EQ(event.index(), ++index) << file.name;
            }
        }
    }
    EXPECT_GT(index, 30000u) << "a full bus for 3 s";
    EXPECT_GT(closed_by_size, 0u) << "no file was closed by -C";
    // Beside the files -C closed, the last one (SIGTERM) and at least one that -G closed; a loaded
    // machine may fill a file to near -C before its second ends, so no more is asked.
    EXPECT_GE(files.size(), 2u + closed_by_size) << "no file was closed by -G";
    EXPECT_EQ(datagrams, count_after(recorder->stdout_text(), "totals: ", "totals: %*f s, %llu")) << recorder->stdout_text();
    EXPECT_EQ(recorder->stdout_text().find("not written"), std::string::npos) << recorder->stdout_text();
}

// A moment kept by each trigger: every ring file with a datagram inside the window is linked
// into the keep folder, and the JSON says why, for which sender, and names those files.
struct KeepCase {
    const char* name;
    const char* why;
    const char* sender;  // part of the sender named
    const char* what;    // part of what happened
};

void PrintTo(const KeepCase& c, std::ostream* out) { *out << c.name; }

class KeepTrigger : public BusdumpRing, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeepTrigger, KeepsTheFilesAroundTheMomentWithTheirJson) {
    const KeepCase& c = GetParam();
    const std::string keep = dir_ + "/keep";
    std::vector<std::string> args = {"-w", ring_ + "/cap.pcap", "-C", "0.2", "--keep-dir", keep,
                                     "--keep-before", "1", "--keep-after", "1"};
    fs::create_directories(ring_);
    if (std::string(c.why) == "alert") {
        // The simulated bus has stations 0 to 13; the baseline expects 15 as well.
        std::string stations;
        for (int a : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15})
            stations += (stations.empty() ? "" : ",") + ("{\"address\":" + std::to_string(a) + ",\"error_rate_permille\":0}");
        std::ofstream(dir_ + "/baseline.json") << "{\"format\":\"busdump-baseline-1\",\"senders\":[{\"sn\":"
                                               << 0x4c530001u << ",\"stations\":[" << stations
                                               << "],\"identifiers\":[]}]}\n";
        args.insert(args.end(), {"--baseline", dir_ + "/baseline.json"});
    }
    auto recorder = busdump(args);
    std::this_thread::sleep_for(300ms);
    auto gw = gateway();
    std::this_thread::sleep_for(2s);
    if (std::string(c.why) == "signal") {
#ifdef _WIN32
        GTEST_SKIP() << "SIGUSR1 exists on Linux only";
#else
        ASSERT_TRUE(recorder->send_signal(SIGUSR1));
#endif
    } else if (std::string(c.why) == "request") {
        GatewayProcess asking(BUSDUMP_PATH, {"--keep-now", "--keep-dir", keep});
        ASSERT_EQ(asking.wait_exit(5s), 0) << asking.stderr_text();
    }
    std::this_thread::sleep_for(2500ms);
    ASSERT_TRUE(gw->send_signal(SIGINT));
    ASSERT_EQ(gw->wait_exit(5s), 0);
    ASSERT_TRUE(recorder->send_signal(SIGINT));
    ASSERT_EQ(recorder->wait_exit(5s), 0) << recorder->stderr_text();

    std::vector<std::string> jsons;
    for (const auto& entry : fs::directory_iterator(keep))
        if (entry.path().extension() == ".json") jsons.push_back(entry.path().string());
    ASSERT_EQ(jsons.size(), 1u) << "moments close together make one window\n" << recorder->stderr_text();
    const std::string json = text_of(jsons[0]);
    EXPECT_NE(json.find(std::string("\"why\":\"") + c.why + "\""), std::string::npos) << json;
    EXPECT_NE(json.find(c.sender), std::string::npos) << json;
    EXPECT_NE(json.find(c.what), std::string::npos) << json;
    EXPECT_NE(json.find("\"complete\":true"), std::string::npos) << json;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(json, m, std::regex("\"from\":\"([^\"]+)\",\"to\":\"([^\"]+)\""))) << json;
    const int64_t from = utc_us(m[1]), to = utc_us(m[2]);
    EXPECT_GE(to - from, 2 * US) << "one second before and one after (merged windows only grow)";

    std::vector<std::string> named;
    const std::regex file_name("\"(cap_[^\"]+\\.pcap)\"");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), file_name); it != std::sregex_iterator(); ++it)
        named.push_back((*it)[1]);
    std::size_t inside = 0;
    for (const RingFileRead& file : read_ring(ring_)) {
        const bool in_window = std::any_of(file.packets.begin(), file.packets.end(), [&](const auto& p) {
            return p.time_us >= from && p.time_us <= to;
        });
        const bool kept = fs::exists(keep + "/" + file.name);
        if (!in_window) continue;
        ++inside;
        EXPECT_TRUE(kept) << file.name << " holds datagrams of the window but was not kept";
        EXPECT_NE(std::find(named.begin(), named.end(), file.name), named.end()) << file.name << " not in\n" << json;
        if (kept) {
            EXPECT_TRUE(fs::equivalent(keep + "/" + file.name, ring_ + "/" + file.name)) << "linked, not copied";
        }
    }
    EXPECT_GE(inside, 3u);
    EXPECT_LE(named.size(), inside + 2) << "only the files of the window, and those at its edges";
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, KeepTrigger,
    ::testing::Values(KeepCase{"Sigusr1", "signal", "\"sender\":\"all\"", "SIGUSR1"},
                      KeepCase{"KeepNowFromASecondBusdump", "request", "\"sender\":\"all\"", "busdump --keep-now"},
                      KeepCase{"AlertOfTheBaseline", "alert", "sn 0x4c530001", "station_missing 15"}),
    [](const ::testing::TestParamInfo<KeepCase>& info) { return std::string(info.param.name); });

// A 3 MB file system. A first run with a 1 MB budget stays within it while the ring turns. Then
// something else fills the disk, and a second run with a larger budget takes in the first run's
// files and finds no room: one line with the system's reason, losses counted in the per-second
// view and the totals, reception goes on; once the space is freed, writing resumes and says so.
TEST_F(BusdumpRing, DiskBudgetHoldsAndAFullDiskIsToldCountedAndRecovered) {
#ifdef _WIN32
    GTEST_SKIP() << "a small private file system needs Linux (unshare -m)";
#else
    if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
    const std::string small = dir_ + "/small";
    fs::create_directories(small);
    const std::string busdump = BUSDUMP_PATH " -b 127.0.0.1 -p " + std::to_string(port_) + " -s -w " + small +
                                "/cap.pcap -C 0.2 ";
    const std::string script =
        "mount -t tmpfs -o size=3m tmpfs " + small + " || exit 77\n" +
        busdump + "-t 2.5 --disk-budget 1 > /dev/null 2>&1 || exit 1\n" +
        "du -sb " + small + " > " + dir_ + "/turning.txt\n"
        "dd if=/dev/zero of=" + small + "/filler bs=64k 2>/dev/null\n" +
        busdump + "-t 4 --disk-budget 2 > " + dir_ + "/out.txt 2> " + dir_ + "/err.txt &\n"
        "sleep 2\n"
        "rm " + small + "/filler\n"
        "wait $!; status=$?\n"
        "ls -l " + small + " > " + dir_ + "/ls.txt; du -sb " + small + " > " + dir_ + "/after.txt\n"
        "exit $status\n";
    std::ofstream(dir_ + "/budget.sh") << script;
    auto recorder = std::make_unique<GatewayProcess>("/bin/sh", std::vector<std::string>{"-c", "exec unshare -rm sh " + dir_ + "/budget.sh"});
    std::this_thread::sleep_for(300ms);
    auto gw = gateway();
    const int status = recorder->wait_exit(20s);
    gw->send_signal(SIGINT);
    gw->wait_exit(5s);
    if (status == 77) GTEST_SKIP() << "no tmpfs mount in the namespace";
    const std::string out = text_of(dir_ + "/out.txt"), err = text_of(dir_ + "/err.txt");
    EXPECT_EQ(status, 3) << err << recorder->stderr_text();

    unsigned long long turning = 0, after = 0;
    ASSERT_EQ(std::sscanf(text_of(dir_ + "/turning.txt").c_str(), "%llu", &turning), 1);
    ASSERT_EQ(std::sscanf(text_of(dir_ + "/after.txt").c_str(), "%llu", &after), 1);
    EXPECT_GT(turning, 700000u) << "the ring filled its budget";
    EXPECT_LE(turning, 1000000u + 64 * 1024) << "the budget, and the folder's own blocks";
    EXPECT_LE(after, 2000000u + 64 * 1024) << text_of(dir_ + "/ls.txt");

    std::size_t told = 0;
    for (std::size_t at = err.find("cannot write "); at != std::string::npos; at = err.find("cannot write ", at + 1)) ++told;
    EXPECT_EQ(told, 1u) << "one line for the outage\n" << err;
    EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
    EXPECT_NE(err.find("writing again"), std::string::npos) << err;
    EXPECT_TRUE(std::regex_search(out, std::regex("datagrams/s .* not written [0-9]+\n")))
        << "the per-second view shows the losses\n" << out;
    const unsigned long long not_written = count_after(out, "totals: not written ", "totals: not written %llu");
    EXPECT_GT(not_written, 0u);
    EXPECT_LT(not_written, count_after(out, "totals: ", "totals: %*f s, %llu")) << "writing resumed";
    EXPECT_EQ(text_of(dir_ + "/ls.txt").find(".part"), std::string::npos) << "the file written at the end was closed";
#endif
}

}  // namespace
