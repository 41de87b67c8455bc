// busdump as Wireshark's external capture program, beside a real gateway on a simulated card
// sending to 127.0.0.1: the real tshark lists and captures the busgate receiver through an extcap
// folder of this build, the dissector decodes what it captured, and nothing is lost; busdump
// started as Wireshark starts it keeps what came before Wireshark read, and ends cleanly both
// ways Wireshark stops it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "common/driver/eventrecord.h"
#include "common/stream/pcapwriter.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

using namespace std::chrono_literals;
using integration::GatewayProcess;

namespace {

uint16_t free_port() {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, {boost::asio::ip::address_v4::loopback(), 0});
    return socket.local_endpoint().port();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, separator);) out.push_back(item);
    return out;
}

class WiresharkExtcap : public ::testing::Test {
protected:
    void SetUp() override {
        if (integration::busgated_path().empty()) GTEST_SKIP() << "BUSGATED names the gateway under test";
    }

    std::unique_ptr<GatewayProcess> gateway(uint16_t port, const std::string& sim = "1") {
        return std::make_unique<GatewayProcess>(
            integration::busgated_path(),
            std::vector<std::string>{"-a", "127.0.0.1", "-p", std::to_string(port), "-B", dir_ + "/buffer.bin", "-S",
                                     "8388608"},
            std::map<std::string, std::string>{{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ + "/locks"}});
    }

    testsupport::ScratchDirectory scratch_{"wireshark-extcap"};
    const std::string dir_ = scratch_.path();
};

// The next pcap packet's datagram from the FIFO, after its file header.
std::optional<integration::ReceivedDatagram> next_datagram(std::ifstream& in) {
    uint8_t header[PcapFormat::PACKET_HEADER_SIZE];
    uint32_t captured = 0;
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
    std::memcpy(&captured, header + PcapFormat::PACKET_OFF_CAPTURED, 4);  // written in host order
    std::vector<uint8_t> packet(captured);
    if (captured < PcapWriter::FRAMING_SIZE || !in.read(reinterpret_cast<char*>(packet.data()), captured))
        return std::nullopt;
    return integration::parse_datagram(packet.data() + PcapWriter::FRAMING_SIZE, captured - PcapWriter::FRAMING_SIZE);
}

TEST_F(WiresharkExtcap, TsharkListsAndCapturesTheReceiverLiveWithNothingLost) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/setup installs it: apt-get install tshark)";
    // Wireshark's own extcap folder is left alone: WIRESHARK_EXTCAP_DIR names one of this test,
    // which Wireshark honours only for an unprivileged user: as root, tshark runs as nobody.
    std::string program = "/usr/bin/tshark";
    std::vector<std::string> before;  // tshark's arguments follow these
    if (geteuid() == 0) {
        if (std::system("setpriv --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "running as root, and setpriv (util-linux) to run tshark as nobody is missing";
        program = "/usr/bin/setpriv";
        before = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", "/usr/bin/tshark"};
    }
    const std::string extcap_dir = dir_ + "/extcap";
    ASSERT_EQ(mkdir(extcap_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(symlink(BUSDUMP_PATH, (extcap_dir + "/busdump").c_str()), 0);
    const std::map<std::string, std::string> env = {{"WIRESHARK_EXTCAP_DIR", extcap_dir}, {"HOME", dir_}};
    auto tshark = [&](std::vector<std::string> args) {
        args.insert(args.begin(), before.begin(), before.end());
        return std::make_unique<GatewayProcess>(program, args, env);
    };
    auto list = tshark({"-D"});
    ASSERT_EQ(list->wait_exit(60s), 0) << list->stderr_text();
    EXPECT_NE(list->stdout_text().find(". busgate (busgate receiver)"), std::string::npos) << list->stdout_text();

    const uint16_t port = free_port();
    // A slower bus than the default: the Lua dissector's work on a loaded test machine stays small.
    auto plant = gateway(port, "bitrate=500000");
    auto live = tshark({"-n", "-i", "busgate", "-o", "extcap.busgate.port:" + std::to_string(port), "-o",
                        "extcap.busgate.bind:127.0.0.1", "-a", "duration:3", "-X",
                        "lua_script:" BUSGATE_SOURCE_DIR "/contrib/wireshark/busgate.lua", "-T", "fields", "-E",
                        "separator=|", "-E", "occurrence=a", "-E", "aggregator=,", "-e", "busgate.seq", "-e",
                        "busgate.count", "-e", "busgate.event.index", "-e", "busgate.lifesign.counter", "-e",
                        "_ws.expert.message"});
    ASSERT_EQ(live->wait_exit(90s), 0) << live->stderr_text();
    plant->send_signal(SIGINT);
    EXPECT_EQ(plant->wait_exit(10s), 0) << plant->stdout_text();
    EXPECT_EQ(live->stderr_text().find("extcap"), std::string::npos) << "busdump told an error:\n"
                                                                     << live->stderr_text();

    // Every datagram of the capture, in sequence, every record decoded, the event indices
    // running on from the first without a gap.
    uint64_t last_sequence = 0, next_index = 0, events = 0, lifesigns = 0;
    for (const std::string& row : split(live->stdout_text(), '\n')) {
        const std::vector<std::string> f = split(row + "|", '|');
        ASSERT_GE(f.size(), 5u) << row;
        EXPECT_TRUE(!last_sequence || std::stoull(f[0]) == last_sequence + 1) << row;
        last_sequence = std::stoull(f[0]);
        const std::vector<std::string> indices = split(f[2], ','), counters = split(f[3], ',');
        EXPECT_EQ(std::stoull(f[1]), indices.size() + counters.size()) << "every record decoded: " << row;
        for (const std::string& index : indices) {
            ASSERT_TRUE(!next_index || std::stoull(index) == next_index) << row;
            next_index = std::stoull(index) + 1;
        }
        events += indices.size();
        lifesigns += counters.size();
        EXPECT_EQ(f[4], "") << "an expert message: " << row;
    }
    EXPECT_GT(events, 3000u) << "about 4 000 events a second for 3 s";
    EXPECT_GE(lifesigns, 3u);
}

TEST_F(WiresharkExtcap, TheCaptureKeepsWhatCameBeforeWiresharkReadAndEndsCleanlyWhenStopped) {
    for (const bool by_signal : {true, false}) {
        SCOPED_TRACE(by_signal ? "Wireshark sends SIGTERM" : "Wireshark closes the FIFO");
        const std::string fifo = dir_ + "/fifo" + (by_signal ? "1" : "2");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const uint16_t port = free_port();
        // busdump as Wireshark starts it for a capture, an option of the dialog left empty.
        const std::vector<std::string> args = {"--capture", "--extcap-interface", "busgate", "--fifo", fifo, "--port",
                                               std::to_string(port), "--bind", "127.0.0.1", "--group", ""};
        auto dump = std::make_unique<GatewayProcess>(BUSDUMP_PATH, args);
        std::this_thread::sleep_for(500ms);  // busdump listens before the gateway's first datagram
        auto plant = gateway(port);
        std::this_thread::sleep_for(1s);  // the gateway sends; nothing reads the FIFO yet

        std::ifstream reader(fifo, std::ios::binary);
        ASSERT_TRUE(reader.ignore(PcapFormat::FILE_HEADER_SIZE));
        uint64_t expected_sequence = 1, expected_index = 1;
        while (expected_index < 20000) {
            auto datagram = next_datagram(reader);
            ASSERT_TRUE(datagram) << "the capture broke off\n" << dump->stderr_text();
            ASSERT_EQ(datagram->sequence, expected_sequence++) << "the first datagram of the gateway comes first";
            for (const auto& record : datagram->records)
                if (record[0] == integration::DatagramReceiver::EVENT_RECORD_TYPE) {
                    ASSERT_EQ(linkscope::EventRecord(record.data(), record.size()).index(), expected_index++);
                }
        }
        if (by_signal)
            dump->send_signal(SIGTERM);
        else
            reader.close();
        EXPECT_EQ(dump->wait_exit(10s), 0);
        EXPECT_EQ(dump->stderr_text(), "") << "Wireshark shows anything there as an error";
        plant->send_signal(SIGINT);
        EXPECT_EQ(plant->wait_exit(10s), 0);
    }
}

}  // namespace
