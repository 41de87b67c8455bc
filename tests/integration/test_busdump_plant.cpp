// busdump as a plant receiver beside real gateways on simulated cards: two gateways and a
// foreign sender on one port, two receivers sharing a broadcast port, and a stream recorded
// with busdump -w that a second gateway replays record for record.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

using namespace std::chrono_literals;
using integration::GatewayProcess;

namespace {

using Record = std::vector<uint8_t>;

std::string busdump_path() { return BUSDUMP_PATH; }

const boost::asio::ip::udp::endpoint LOOPBACK(boost::asio::ip::address_v4::loopback(), 0);

// A port nothing listens on right now (the system's choice for a socket just closed).
uint16_t free_port() {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, LOOPBACK);
    return socket.local_endpoint().port();
}

// Sends the datagrams from one socket: one sender, as another program on the plant would be.
void send_to_loopback(uint16_t port, const std::vector<std::vector<uint8_t>>& datagrams) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
    const boost::asio::ip::udp::endpoint to(boost::asio::ip::address_v4::loopback(), port);
    for (const auto& bytes : datagrams) socket.send_to(boost::asio::buffer(bytes), to);
}

// What one "totals from" line of busdump says about a sender.
struct SenderTotals {
    std::string serial;
    unsigned long long datagrams = 0, events = 0, lifesigns = 0, unknown = 0, malformed = 0, sequence_gaps = 0,
                       datagrams_lost = 0, index_gaps = 0, frames_lost = 0, restarts = 0, index_resets = 0;
};

// The per-sender totals by address, read from busdump's readable output.
std::map<std::string, SenderTotals> sender_totals(const std::string& text) {
    std::map<std::string, SenderTotals> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("totals from #", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(' ', 12) + 1));
        std::string address, word;
        words >> address;
        SenderTotals t;
        if (!address.empty() && address.back() == ':') address.pop_back();
        if (words >> word && word == "sn") {
            words >> t.serial;
            if (!t.serial.empty() && t.serial.back() == ':') t.serial.pop_back();
        }
        const std::string rest = line.substr(line.find(": ") + 2);
        const int fields = std::sscanf(
            rest.c_str(),
            "%llu datagrams, %llu events, %llu lifesigns, %llu unknown, %llu malformed, %llu sequence gaps (%llu "
            "datagrams lost), %llu index gaps (%llu frames lost), %llu restarts, %llu index resets",
            &t.datagrams, &t.events, &t.lifesigns, &t.unknown, &t.malformed, &t.sequence_gaps, &t.datagrams_lost,
            &t.index_gaps, &t.frames_lost, &t.restarts, &t.index_resets);
        EXPECT_EQ(fields, 11) << line;
        out[address] = t;
    }
    return out;
}

// The UDP payloads of a pcap file as busdump writes it (Ethernet, IPv4 without options, UDP),
// read here on their own so that the replay is checked against the file, not against itself.
std::vector<std::vector<uint8_t>> pcap_payloads(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<uint8_t>> out;
    std::size_t at = 24;
    EXPECT_GE(bytes.size(), at);
    while (at + 16 <= bytes.size()) {
        const std::size_t captured = linkscope::load_le32(&bytes[at + 8]);
        at += 16;
        if (at + captured > bytes.size() || captured < 42) {
            ADD_FAILURE() << "packet runs past the end of " << path;
            break;
        }
        const uint8_t* packet = &bytes[at];
        EXPECT_EQ(linkscope::load_be16(packet + 12), 0x0800);
        EXPECT_EQ(packet[14 + 9], 17);
        out.emplace_back(packet + 42, packet + captured);
        at += captured;
    }
    return out;
}

class BusdumpPlant : public ::testing::Test {
protected:
    void SetUp() override {
        if (integration::busgated_path().empty()) GTEST_SKIP() << "BUSGATED names the gateway under test";
    }

    std::unique_ptr<GatewayProcess> gateway(const std::string& sim, std::vector<std::string> args,
                                            const std::string& name) {
        args.insert(args.end(), {"-B", dir_ + "/" + name + "/buffer.bin", "-S", "8388608"});
        return std::make_unique<GatewayProcess>(
            integration::busgated_path(), args,
            std::map<std::string, std::string>{{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ + "/locks"}});
    }

    std::unique_ptr<GatewayProcess> busdump(const std::vector<std::string>& args) {
        return std::make_unique<GatewayProcess>(busdump_path(), args);
    }

    testsupport::ScratchDirectory scratch_{"busdump-plant"};
    const std::string dir_ = scratch_.path();
};

TEST_F(BusdumpPlant, TwoGatewaysAndAForeignSenderAreCountedApart) {
    const uint16_t port = free_port();
    auto dump = busdump({"-b", "127.0.0.1", "-p", std::to_string(port), "-s", "-t", "4"});
    std::this_thread::sleep_for(300ms);
    // Two cards in one host, one gateway each, both sending to the same port.
    const std::vector<std::string> to = {"-a", "127.0.0.1", "-p", std::to_string(port)};
    std::vector<std::string> first = {"-i", "0"}, second = {"-i", "1"};
    first.insert(first.end(), to.begin(), to.end());
    second.insert(second.end(), to.begin(), to.end());
    // A slower bus than the default keeps a loaded test machine from dropping datagrams, which
    // would be real losses, not invented ones.
    auto one = gateway("devices=1+2,bitrate=500000", first, "one");
    auto two = gateway("devices=1+2,bitrate=500000", second, "two");
    std::this_thread::sleep_for(1s);

    // Another program on the same port: junk, a datagram with a wrong record count, and a
    // well-formed one with a sequence number far from the gateways'.
    std::vector<uint8_t> foreign(16, 0);
    foreign[0] = 'L';
    foreign[1] = 'S';
    foreign[2] = 1;
    linkscope::store_be64(&foreign[4], 5000);
    linkscope::EventHeader header;
    header.index = 77;
    const uint8_t frame[] = {0x03, 0x90, 0x80, 0x00, 0x00};
    std::vector<uint8_t> event;
    linkscope::append_event_record(event, header, frame, sizeof frame);
    foreign.insert(foreign.end(), event.begin(), event.end());
    std::vector<uint8_t> miscounted = foreign;
    linkscope::store_be32(&foreign[12], 1);
    linkscope::store_be64(&foreign[4], 5001);
    linkscope::store_be32(&miscounted[12], 2);
    send_to_loopback(port, {{'h', 'e', 'l', 'l', 'o'}, miscounted, foreign});

    std::this_thread::sleep_for(1s);
    one->send_signal(SIGINT);
    two->send_signal(SIGINT);
    EXPECT_EQ(one->wait_exit(5s), 0) << one->stdout_text();
    EXPECT_EQ(two->wait_exit(5s), 0) << two->stdout_text();
    ASSERT_EQ(dump->wait_exit(10s), 0) << dump->stderr_text();

    const std::string out = dump->stdout_text();
    const auto totals = sender_totals(out);
    ASSERT_EQ(totals.size(), 3u) << out;
    std::vector<std::string> serials;
    unsigned long long gateway_datagrams = 0;
    for (const auto& [address, t] : totals) {
        if (t.malformed > 0) {
            EXPECT_EQ(t.datagrams, 3u) << address;
            EXPECT_EQ(t.malformed, 2u) << address;
            EXPECT_EQ(t.events, 1u) << address;
            EXPECT_EQ(t.restarts + t.sequence_gaps, 0u) << "5000 then 5001: the foreign stream runs on";
            EXPECT_EQ(t.serial, "") << "the foreign sender sent no lifesign";
            continue;
        }
        serials.push_back(t.serial);
        gateway_datagrams += t.datagrams;
        EXPECT_GT(t.events, 500u) << address;
        EXPECT_GE(t.lifesigns, 1u) << address;
        EXPECT_EQ(t.restarts, 0u) << address << "\n" << out;
        EXPECT_EQ(t.sequence_gaps, 0u) << address << "\n" << out;
        EXPECT_EQ(t.index_gaps, 0u) << address << "\n" << out;
        EXPECT_EQ(t.index_resets, 0u) << address << "\n" << out;
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"0x4c530001", "0x4c530002"})) << out;
    for (const char* notice : {"gateway restart", "sequence back", "gap:", "index back"})
        EXPECT_EQ(out.find(notice), std::string::npos) << notice << " in\n" << out;
    EXPECT_NE(out.find("totals: 2 malformed"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(gateway_datagrams + 3) + " datagrams ("), std::string::npos) << out;
}

TEST_F(BusdumpPlant, ACaptureRecordedAtThePlantReplaysRecordForRecord) {
    const uint16_t port = free_port();
    const std::string capture = dir_ + "/plant.pcap";
    auto recorder = busdump({"-b", "127.0.0.1", "-p", std::to_string(port), "-s", "-w", capture});
    std::this_thread::sleep_for(300ms);
    auto plant = gateway("fcs_err=0.01,loss=0.01,status_err=0.01,unknown=0.01,seed=19",
                         {"-a", "127.0.0.1", "-p", std::to_string(port), "-R", "100"}, "plant");
    std::this_thread::sleep_for(1500ms);
    plant->send_signal(SIGINT);
    ASSERT_EQ(plant->wait_exit(5s), 0) << plant->stdout_text();
    std::this_thread::sleep_for(300ms);
    recorder->send_signal(SIGINT);
    ASSERT_EQ(recorder->wait_exit(5s), 0) << recorder->stderr_text();

    std::vector<Record> recorded;
    std::size_t lifesigns = 0, bad_frames = 0, index_gaps = 0;
    uint64_t last_index = 0;
    for (const auto& payload : pcap_payloads(capture)) {
        std::string error;
        const auto d = integration::parse_datagram(payload.data(), payload.size(), &error);
        ASSERT_TRUE(d) << error;
        for (const auto& r : d->records) {
            if (r[0] != integration::DatagramReceiver::EVENT_RECORD_TYPE) {
                ++lifesigns;
                continue;
            }
            const linkscope::EventRecord e(r.data(), r.size());
            if (!linkscope::FrameCheck::frame_is_correct(e.fcs_mode(), e.frame(), e.frame_length())) ++bad_frames;
            if (last_index && e.index() != last_index + 1) ++index_gaps;
            last_index = e.index();
            recorded.push_back(r);
        }
    }
    ASSERT_GT(recorded.size(), 1000u);
    EXPECT_GE(lifesigns, 2u) << "the capture holds lifesigns, which the replay leaves out";
    EXPECT_GT(bad_frames, 0u) << "the plant's faults are in the capture";
    EXPECT_GT(index_gaps, 0u);

    // At the desk: a second gateway on a simulated card that replays the capture.
    integration::DatagramReceiver desk;
    auto replaying = gateway("replay=" + capture + ",speed=max", {"-a", "127.0.0.1", "-p", std::to_string(desk.port())},
                             "desk");
    std::vector<Record> replayed;
    while (replayed.size() < recorded.size()) {
        auto d = desk.receive(5s);
        ASSERT_TRUE(d) << "replay stalled after " << replayed.size() << " of " << recorded.size() << " records\n"
                       << replaying->stderr_text();
        for (auto& r : d->records)
            if (r[0] == integration::DatagramReceiver::EVENT_RECORD_TYPE) replayed.push_back(std::move(r));
    }
    EXPECT_EQ(desk.malformed(), 0u);
    ASSERT_EQ(replayed.size(), recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) ASSERT_EQ(replayed[i], recorded[i]) << "event record " << i;
    // Nothing more than the capture: the replay waits at its end (the gateway's lifesigns go on).
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until)
        if (auto d = desk.receive(200ms)) {
            for (const auto& r : d->records)
                EXPECT_NE(r[0], integration::DatagramReceiver::EVENT_RECORD_TYPE) << "an event record after the capture";
        }
    replaying->send_signal(SIGINT);
    EXPECT_EQ(replaying->wait_exit(5s), 0);
}

// busdump -w where the output cannot take everything. A 64 KiB file system fills up: the failure
// is told with the system's reason, the datagrams not written are counted, the run ends with
// status 3, and the file holds whole packets only. A FIFO that nothing reads holds up neither
// the start nor -t; what it did not get is counted the same way.
TEST_F(BusdumpPlant, CaptureOutputFailuresAreToldAndCountedAndLeaveWholePackets) {
#ifdef _WIN32
    GTEST_SKIP() << "a small private file system and a FIFO need Linux (unshare -m, mkfifo)";
#else
    if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
    const std::string port = std::to_string(free_port());
    const std::string small = dir_ + "/small";
    const std::string script = "mkdir -p " + small + " && exec unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs " +
                               small + " || exit 77; " + busdump_path() + " -b 127.0.0.1 -p " + port + " -t 2 -s -w " +
                               small + "/cap.pcap; status=$?; cp " + small + "/cap.pcap " + dir_ + "/cap.pcap; exit $status'";
    auto full = std::make_unique<GatewayProcess>("/bin/sh", std::vector<std::string>{"-c", script});
    std::this_thread::sleep_for(500ms);
    constexpr std::size_t PAYLOAD = 1000;
    for (int burst = 0; burst < 12; ++burst) {
        send_to_loopback(static_cast<uint16_t>(std::stoi(port)), std::vector<std::vector<uint8_t>>(10, std::vector<uint8_t>(PAYLOAD, 'x')));
        std::this_thread::sleep_for(10ms);
    }
    const int status = full->wait_exit(10s);
    if (status == 77) GTEST_SKIP() << "no tmpfs mount in the namespace";
    EXPECT_EQ(status, 3) << full->stderr_text();
    EXPECT_NE(full->stderr_text().find("No space left on device"), std::string::npos) << full->stderr_text();
    const std::string out = full->stdout_text();
    unsigned long long received = 0, not_written = 0;
    const std::size_t at = out.find("totals: ");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "totals: %*f s, %llu datagrams", &received), 1) << out;
    const std::size_t told = out.find("totals: not written ");
    ASSERT_NE(told, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + told, "totals: not written %llu", &not_written), 1);
    EXPECT_GT(not_written, 0u);
    std::ifstream in(dir_ + "/cap.pcap", std::ios::binary | std::ios::ate);
    const auto size = static_cast<std::size_t>(in.tellg());
    const std::size_t packet = 16 + 42 + PAYLOAD;
    EXPECT_EQ((size - 24) % packet, 0u) << size << " bytes: a packet cut short at the end";
    EXPECT_EQ((size - 24) / packet, received - not_written);

    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(std::system(("mkfifo " + fifo).c_str()), 0);
    auto unread = busdump({"-b", "127.0.0.1", "-p", port, "-t", "1", "-w", fifo});
    std::this_thread::sleep_for(300ms);
    send_to_loopback(static_cast<uint16_t>(std::stoi(port)), {std::vector<uint8_t>(100, 'y')});
    EXPECT_EQ(unread->wait_exit(5s), 3) << "-t ends the run, and the datagram not written is told\n"
                                       << unread->stderr_text();
    EXPECT_NE(unread->stderr_text().find("nothing reads the FIFO"), std::string::npos) << unread->stderr_text();
#endif
}

TEST_F(BusdumpPlant, TwoReceiversShareABroadcastPort) {
#ifdef _WIN32
    GTEST_SKIP() << "broadcast leaves the host only inside a Linux network namespace of the test's own";
#else
    // Broadcast leaves the host only inside a network namespace of the test's own.
    if (std::system("unshare -rn true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private network namespace here";
    const std::string port = "47019";
    const std::string dump = busdump_path() + " -p " + port + " -s -t 3 ";
    const std::string script =
        "ip link set lo up && ip route add default dev lo || exit 77\n" +
        dump + "> " + dir_ + "/a.txt 2>&1 &\n" +
        dump + "> " + dir_ + "/b.txt 2>&1 &\n"
        "sleep 0.5\n"
        "LINKSCOPE_SIM=1 LINKSCOPE_LOCK_DIR=" + dir_ + "/locks timeout -s INT 1.5 " + integration::busgated_path() +
        " -p " + port + " -B " + dir_ + "/bc/buffer.bin -S 8388608 > " + dir_ + "/gw.txt 2>&1\n"
        "wait\n";
    std::ofstream(dir_ + "/broadcast.sh") << script;
    const int status = std::system(("unshare -rn sh " + dir_ + "/broadcast.sh").c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no route for broadcast in the namespace";
    ASSERT_EQ(status, 0);
    auto read = [&](const std::string& name) {
        std::ifstream in(dir_ + "/" + name);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const auto a = sender_totals(read("a.txt"));
    const auto b = sender_totals(read("b.txt"));
    ASSERT_EQ(a.size(), 1u) << read("a.txt") << read("gw.txt");
    ASSERT_EQ(b.size(), 1u) << read("b.txt");
    const SenderTotals& ta = a.begin()->second;
    const SenderTotals& tb = b.begin()->second;
    EXPECT_GT(ta.events, 1000u);
    EXPECT_EQ(ta.datagrams, tb.datagrams) << "both receivers get every broadcast";
    EXPECT_EQ(ta.events, tb.events);
    EXPECT_EQ(ta.sequence_gaps + tb.sequence_gaps + ta.restarts + tb.restarts, 0u);
#endif
}

}  // namespace
