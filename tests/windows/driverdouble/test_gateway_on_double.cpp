// busgated.exe under Wine on the card driver double: the listing, a capture run whose datagrams
// reach a receiver here on the Linux side, the stop sequence and a card that stops answering.
// Every case checks what the double saw: the requests of each kind, their order and values.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/driver/deviceinfos.h"
#include "common/driver/eventrecord.h"
#include "common/driver/protocol.h"
#include "common/stream/lifesignrecord.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/blockbuilder.h"
#include "tests/windows/driverdouble/winedouble.h"

using namespace std::chrono_literals;
using namespace linkscope;
using driverdouble::SeenRequest;
using integration::DatagramReceiver;
using integration::GatewayProcess;
using testsupport::BlockBuilder;

namespace {

constexpr unsigned PENDING_TIMEOUT_MS = 15000;

std::string busgated_exe() {
    const char* path = std::getenv("BUSGATED_EXE");
    return path != nullptr ? path : "";
}

// Wine reads Linux paths given as drive Z: paths.
std::string windows_path(const std::string& linux_path) {
    std::string path = "Z:" + linux_path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

device_infos chosen_infos(int32_t index, uint32_t sn) {
    device_infos infos{};
    infos.index = index;
    infos.sn = sn;
    infos.vid = 0x10EE;
    infos.did = 0x7021;
    infos.ssvid = 0x1A2B;
    infos.ssdid = 0x0003;
    infos.bar_cnt = 2;
    infos.bar_bsz[0] = 4096;
    infos.bar_base[0] = 0xF7E00000;
    infos.bar_bsz[1] = 1048576;
    infos.bar_base[1] = 0xF7D00000;
    infos.irq_number = 17;
    infos.drv_version = 0x00020105;
    infos.info_ext1 = 0x11223344;
    infos.info_ext2 = 0x000000A5;
    return infos;
}

std::vector<uint8_t> encoded(const device_infos& infos) {
    std::vector<uint8_t> bytes(DEVICE_INFOS_SIZE);
    encode_device_infos(infos, bytes.data());
    return bytes;
}

// The blocks a capture run is fed, and what the gateway must make of them.
struct Feed {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<std::vector<uint8_t>> forwarded;  // every record of the blocks that carry events
    uint64_t unknown_control = 0;
    uint64_t fcs_errors = 0;
    uint64_t pdu_type_errors = 0;
    uint64_t length_errors = 0;
    uint64_t status_b0 = 0;
    uint64_t status_b4 = 0;
};

class FeedBuilder {
public:
    void add(BlockBuilder& block, const std::vector<uint8_t>& frame, uint64_t index,
             uint16_t status = make_status(FCS_MODE_1DCF, 3)) {
        const std::vector<uint8_t> record = testsupport::make_record(frame, index, 1000 + index, status);
        ASSERT_TRUE(block.add(record));
        pending_.push_back(record);
    }
    void close(const BlockBuilder& block, bool carries_events = true) {
        feed.blocks.push_back(block.build());
        if (carries_events) feed.forwarded.insert(feed.forwarded.end(), pending_.begin(), pending_.end());
        pending_.clear();
    }
    Feed feed;

private:
    std::vector<std::vector<uint8_t>> pending_;
};

// Block 1: every known control byte with a sound frame, indices 1 to 20. Block 2: an unknown
// control byte, a bad frame check, a bad PDU type, a bad length and status flags, after an index
// gap. Block 3 has neither event bit and is ignored; block 4 carries one more record.
Feed make_feed() {
    FeedBuilder f;
    uint64_t index = 1;
    BlockBuilder first;
    for (uint8_t c : {0x03, 0x05, 0x09, 0x29}) f.add(first, testsupport::make_identifier_frame(c, 0x1200 + c), index++);
    for (uint8_t c : {0x02, 0x06, 0x0A, 0x0E, 0x2A, 0x2E, 0x08, 0x28})
        f.add(first, testsupport::make_response_frame({1, 2, 3, c}, FCS_MODE_1DCF, true, c), index++);
    for (uint8_t c : {0x04, 0x14, 0x94}) f.add(first, testsupport::make_frame(c, {9, 8, 7, 6, 5, 4, 3}), index++);
    for (uint8_t c : {0x10, 0x30, 0x40, 0x90, 0xB0}) f.add(first, testsupport::make_frame(c, {}), index++);
    f.close(first);

    index = 25;  // 20 was the last: a gap of 5
    BlockBuilder second(BLOCK_FLAG_EVENTS_B);
    f.add(second, testsupport::make_frame(0x77, {1, 2}), index++);
    f.feed.unknown_control = 1;
    f.add(second, testsupport::make_identifier_frame(0x03, 0x0042, FCS_MODE_1DCF, false), index++);
    f.feed.fcs_errors = 1;
    f.add(second, testsupport::make_frame(0x02, {0x41, 2, 1, 2}), index++);
    f.feed.pdu_type_errors = 1;
    f.add(second, testsupport::make_frame(0x40, {0x01}), index++);
    f.feed.length_errors = 1;
    f.add(second, testsupport::make_frame(0x10, {}), index++, make_status(FCS_MODE_1DCF, 3, STATUS_BIT4));
    f.feed.status_b4 = 1;
    f.add(second, testsupport::make_frame(0x10, {}), index++, make_status(FCS_MODE_1DCF, 3, STATUS_BIT0));
    f.feed.status_b0 = 1;
    f.close(second);

    BlockBuilder ignored(0);
    f.add(ignored, testsupport::make_frame(0x10, {}), 500);
    f.close(ignored, false);

    BlockBuilder last;
    f.add(last, testsupport::make_frame(0x30, {}), index++);
    f.close(last);
    return f.feed;
}

uint64_t now_us() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class GatewayOnDouble : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(busgated_exe().empty()) << "BUSGATED_EXE is not set";
        std::filesystem::remove(buffer_);
        double_.reset();
    }
    void TearDown() override { double_.reset(); }

    std::unique_ptr<GatewayProcess> run_gateway(const std::vector<std::string>& args) {
        std::vector<std::string> argv{busgated_exe()};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<GatewayProcess>(double_.wine(), argv);
    }
    std::unique_ptr<GatewayProcess> capture() {
        return run_gateway({"-a", "127.0.0.1", "-p", std::to_string(receiver_.port()), "-B", windows_path(buffer_),
                            "-S", "8388608"});
    }

    driverdouble::WineDouble double_;
    DatagramReceiver receiver_;
    // Inside the test prefix, which belongs to these tests alone.
    const std::string buffer_ = std::string(std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "/nonexistent") +
                                "/drive_c/busgate-double-buffer.bin";
};

std::string without_cr(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

TEST_F(GatewayOnDouble, ListsTheCardsWithTheirInfos) {
    double_.set_infos(1, encoded(chosen_infos(0, 0x00C0FFEE)));
    double_.add_card(4);
    double_.set_infos(4, encoded(chosen_infos(3, 0x1234)));
    auto gateway = run_gateway({"-l"});
    ASSERT_EQ(gateway->wait_exit(30s), 0) << gateway->stdout_text();
    const std::string card_lines =
        "  vid         = 0x10ee\n"
        "  did         = 0x7021\n"
        "  ssvid       = 0x1a2b\n"
        "  ssdid       = 0x0003\n"
        "  bar_cnt     = 2\n"
        "  bar_bsz[0]  = 4096\n"
        "  bar_base[0] = 0x0f7e00000\n"
        "  bar_bsz[1]  = 1048576\n"
        "  bar_base[1] = 0x0f7d00000\n"
        "  irq_number  = 17\n"
        "  drv_version = 0x00020105\n";
    const std::string expected = "*** Linkscope [1]\n  index       = 0\n  sn          = 0x00c0ffee\n" + card_lines +
                                 "*** Linkscope [2]\n  index       = 3\n  sn          = 0x00001234\n" + card_lines;
    EXPECT_EQ(expected, without_cr(gateway->stdout_text()));
    for (uint32_t card : {1u, 4u}) {
        const auto requests = driverdouble::device_controls(double_.log(card));
        ASSERT_EQ(1u, requests.size()) << "card " << card;
        EXPECT_EQ(LINKSCOPE_IOCTL_GET_INFOS, requests[0].code);
        EXPECT_EQ(DEVICE_INFOS_SIZE, requests[0].output_length);
    }
}

TEST_F(GatewayOnDouble, CaptureRunForwardsInjectedBlocksAndStopsOnCtrlC) {
    double_.set_infos(1, encoded(chosen_infos(0, 77)));
    const uint64_t started = now_us();
    auto gateway = capture();
    ASSERT_TRUE(double_.wait_pending(1, 1, PENDING_TIMEOUT_MS)) << gateway->stdout_text();
    // The sniffer is switched on right after the wait was posted: give it its moment.
    for (int i = 0; i < 50 && double_.state(1)["sniffer_set"] == 0; ++i) std::this_thread::sleep_for(100ms);
    const uint64_t configured = now_us();

    auto state = double_.state(1);
    EXPECT_EQ(1u, state["epoch_set"]);
    EXPECT_GE(state["epoch"] + 1000000, started);
    EXPECT_LE(state["epoch"], configured + 1000000);
    EXPECT_EQ(1u, state["sniffer_set"]);
    EXPECT_EQ(SNIFFER_ON, state["sniffer"]);

    std::vector<SeenRequest> requests = driverdouble::device_controls(double_.log(1));
    ASSERT_GE(requests.size(), 5u);
    EXPECT_EQ(LINKSCOPE_IOCTL_RESET, requests[0].code);
    EXPECT_EQ(LINKSCOPE_IOCTL_GET_INFOS, requests[1].code);
    std::vector<uint32_t> configuration;
    for (const SeenRequest& r : requests)
        if (r.code == LINKSCOPE_IOCTL_SET_EPOCH || r.code == LINKSCOPE_IOCTL_SET_SNIFFER) configuration.push_back(r.code);
    EXPECT_EQ((std::vector<uint32_t>{LINKSCOPE_IOCTL_SET_EPOCH, LINKSCOPE_IOCTL_SET_SNIFFER}), configuration);
    EXPECT_EQ(1u, driverdouble::count_code(requests, LINKSCOPE_IOCTL_WAIT_EVENTS));

    const Feed feed = make_feed();
    double_.inject(1, feed.blocks);
    std::vector<std::vector<uint8_t>> events;
    std::unique_ptr<LifesignRecord> counts;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline &&
           (events.size() < feed.forwarded.size() || !counts || counts->card_frame_rcvd_cnt < feed.forwarded.size())) {
        auto datagram = receiver_.receive(1s);
        if (!datagram) continue;
        for (auto& record : datagram->records) {
            if (record[0] == DatagramReceiver::EVENT_RECORD_TYPE) {
                events.push_back(record);
            } else if (record[0] == DatagramReceiver::LIFESIGN_RECORD_TYPE) {
                auto decoded = std::make_unique<LifesignRecord>();
                if (LifesignRecord::decode(record.data(), record.size(), decoded.get()))
                    counts = std::move(decoded);
            }
        }
    }
    EXPECT_EQ(0u, receiver_.malformed()) << receiver_.last_error();
    EXPECT_EQ(feed.forwarded, events) << "the records must arrive byte for byte and in order";
    ASSERT_TRUE(counts) << "no lifesign arrived";
    EXPECT_EQ(feed.forwarded.size(), counts->card_frame_rcvd_cnt);
    EXPECT_EQ(77u, counts->sn);
    EXPECT_EQ(0xA5u, counts->card_aux);
    EXPECT_EQ(feed.unknown_control, counts->unknown_ctrl_cnt);
    EXPECT_EQ(feed.fcs_errors, counts->fcs_err_cnt);
    EXPECT_EQ(feed.pdu_type_errors, counts->pdu_type_err_cnt);
    EXPECT_EQ(feed.length_errors, counts->length_err_cnt);
    EXPECT_EQ(feed.status_b0, counts->status_b0_cnt);
    EXPECT_EQ(feed.status_b4, counts->status_b4_cnt);
    EXPECT_NE(gateway->stdout_text().find("fip frame loss ([idx-1]:20 [idx]:25 [diff]:5)"), std::string::npos)
        << gateway->stdout_text();
    EXPECT_TRUE(std::filesystem::exists(buffer_));

    // One wait per block and one still pending.
    ASSERT_TRUE(double_.wait_pending(1, 1, PENDING_TIMEOUT_MS));
    const std::size_t waits_before_stop = driverdouble::count_code(double_.log(1), LINKSCOPE_IOCTL_WAIT_EVENTS);
    EXPECT_EQ(1 + feed.blocks.size(), waits_before_stop);

    ASSERT_TRUE(gateway->send_signal(SIGINT));
    EXPECT_EQ(0, gateway->wait_exit(20s)) << gateway->stdout_text();
    EXPECT_NE(gateway->stdout_text().find("SIGINT signal received"), std::string::npos) << gateway->stdout_text();
    EXPECT_FALSE(std::filesystem::exists(buffer_));

    const std::vector<SeenRequest> log = double_.log(1);
    requests = driverdouble::device_controls(log);
    ASSERT_GE(requests.size(), 2u);
    const SeenRequest& sniffer_off = requests[requests.size() - 2];
    EXPECT_EQ(LINKSCOPE_IOCTL_SET_SNIFFER, sniffer_off.code);
    EXPECT_EQ(SNIFFER_OFF, sniffer_off.input_value());
    EXPECT_EQ(LINKSCOPE_IOCTL_RELEASE_WAIT, requests.back().code);
    EXPECT_EQ(waits_before_stop, driverdouble::count_code(log, LINKSCOPE_IOCTL_WAIT_EVENTS))
        << "no wait may follow the release";
    state = double_.state(1);
    EXPECT_EQ(0u, state["pending_waits"]);
    EXPECT_EQ(SNIFFER_OFF, state["sniffer"]);
}

TEST_F(GatewayOnDouble, CardThatStopsAnsweringEndsTheRunWithFailure) {
    auto gateway = capture();
    ASSERT_TRUE(double_.wait_pending(1, 1, PENDING_TIMEOUT_MS)) << gateway->stdout_text();
    double_.break_card(1);
    EXPECT_EQ(1, gateway->wait_exit(30s)) << gateway->stdout_text();
    EXPECT_NE(gateway->stdout_text().find("device connection is broken"), std::string::npos)
        << gateway->stdout_text();
    EXPECT_EQ(0u, double_.state(1)["pending_waits"]);
}

TEST_F(GatewayOnDouble, WithoutTheCardNothingIsOpened) {
    double_.remove_card(1);
    auto gateway = capture();
    EXPECT_EQ(1, gateway->wait_exit(30s)) << gateway->stdout_text();
    EXPECT_NE(without_cr(gateway->stdout_text()).find("linkscope: device (idx=-1) not found\n"), std::string::npos)
        << gateway->stdout_text();
}

// The service "BusgateSvc" under Wine's service control manager. scripts/driverdouble creates it
// (a service created in a running wineserver cannot start); each case points it at its options.
struct ServiceStatus {
    int state = 0;
    int win32_exit_code = -1;
    int service_exit_code = -1;
};

ServiceStatus parse_service_status(const std::string& text) {
    ServiceStatus status;
    auto field = [&](const char* name) {
        const std::size_t at = text.find(name);
        if (at == std::string::npos) return -1;
        const std::size_t colon = text.find(':', at);
        return colon == std::string::npos ? -1 : std::atoi(text.c_str() + colon + 1);
    };
    status.state = field("STATE");
    status.win32_exit_code = field("WIN32_EXIT_CODE");
    status.service_exit_code = field("SERVICE_EXIT_CODE");
    return status;
}

constexpr int STATE_STOPPED = 1;
constexpr int STATE_START_PENDING = 2;
constexpr int STATE_STOP_PENDING = 3;
constexpr int STATE_RUNNING = 4;
const char* const SERVICE_NAME = "BusgateSvc";

// Datagrams to the port that the service's command line names.
class PortReceiver {
public:
    explicit PortReceiver(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~PortReceiver() {
        if (fd_ >= 0) close(fd_);
    }
    bool bound() const { return bound_; }
    // True when a well-formed datagram arrived within `timeout_ms`.
    bool receive(int timeout_ms) {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, timeout_ms) != 1) return false;
        std::vector<uint8_t> buffer(65536);
        const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
        return got > 0 && integration::parse_datagram(buffer.data(), static_cast<std::size_t>(got)).has_value();
    }

private:
    int fd_;
    bool bound_ = false;
};

class ServiceOnDouble : public GatewayOnDouble {
protected:
    void SetUp() override {
        GatewayOnDouble::SetUp();
        const char* port = std::getenv("BUSGATESVC_PORT");
        const char* log = std::getenv("BUSGATESVC_LOG");
        const char* buffer = std::getenv("BUSGATESVC_BUFFER");
        ASSERT_TRUE(port != nullptr && log != nullptr && buffer != nullptr)
            << "BUSGATESVC_PORT, BUSGATESVC_LOG and BUSGATESVC_BUFFER name the service's options";
        port_ = static_cast<uint16_t>(std::atoi(port));
        log_ = log;
        service_buffer_ = buffer;
        std::filesystem::remove(log_);
    }
    std::string sc(const std::vector<std::string>& args, int* status = nullptr) {
        std::vector<std::string> argv{double_.wine(), "sc"};
        argv.insert(argv.end(), args.begin(), args.end());
        int exit_status = 0;
        std::string out = driverdouble::capture_command(argv, &exit_status);
        if (status != nullptr) *status = exit_status;
        return out;
    }
    ServiceStatus query() { return parse_service_status(sc({"query", SERVICE_NAME})); }
    // Polls the state until `until` holds; every distinct state seen, in order.
    std::vector<int> watch_states(const std::function<bool(const ServiceStatus&)>& until, ServiceStatus* last) {
        std::vector<int> seen;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            *last = query();
            if (seen.empty() || seen.back() != last->state) seen.push_back(last->state);
            if (until(*last)) break;
        }
        return seen;
    }
    void TearDown() override {
        if (query().state != STATE_STOPPED) sc({"stop", SERVICE_NAME});
        GatewayOnDouble::TearDown();
    }

    uint16_t port_ = 0;
    std::string log_;
    std::string service_buffer_;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(ServiceOnDouble, RunsUntilStoppedAndStopsLikeCtrlC) {
    PortReceiver receiver(port_);
    ASSERT_TRUE(receiver.bound()) << "port " << port_;
    int status = 0;
    const std::string started = sc({"start", SERVICE_NAME}, &status);
    ASSERT_EQ(0, status) << started;
    ServiceStatus last;
    std::vector<int> states = watch_states([](const ServiceStatus& s) { return s.state == STATE_RUNNING || s.state == STATE_STOPPED; }, &last);
    ASSERT_EQ(STATE_RUNNING, last.state) << read_text(log_);
    for (int state : states) EXPECT_TRUE(state == STATE_START_PENDING || state == STATE_RUNNING) << state;

    // While it runs, datagrams arrive and the card is capturing.
    bool datagram = false;
    for (int i = 0; i < 10 && !datagram; ++i) datagram = receiver.receive(1000);
    EXPECT_TRUE(datagram);
    EXPECT_TRUE(std::filesystem::exists(service_buffer_));
    EXPECT_EQ(SNIFFER_ON, double_.state(1)["sniffer"]);

    const std::string stopping = sc({"stop", SERVICE_NAME}, &status);
    EXPECT_EQ(0, status) << stopping;
    const ServiceStatus reported = parse_service_status(stopping);
    EXPECT_TRUE(reported.state == STATE_STOP_PENDING || reported.state == STATE_STOPPED) << stopping;
    states = watch_states([](const ServiceStatus& s) { return s.state == STATE_STOPPED; }, &last);
    EXPECT_EQ(STATE_STOPPED, last.state);
    EXPECT_EQ(0, last.win32_exit_code);
    EXPECT_EQ(0, last.service_exit_code);
    EXPECT_NE(read_text(log_).find("SIGINT signal received"), std::string::npos) << read_text(log_);
    EXPECT_FALSE(std::filesystem::exists(service_buffer_));

    const std::vector<SeenRequest> requests = driverdouble::device_controls(double_.log(1));
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(LINKSCOPE_IOCTL_SET_SNIFFER, requests[requests.size() - 2].code);
    EXPECT_EQ(SNIFFER_OFF, requests[requests.size() - 2].input_value());
    EXPECT_EQ(LINKSCOPE_IOCTL_RELEASE_WAIT, requests.back().code);
    EXPECT_EQ(0u, double_.state(1)["pending_waits"]);
}

TEST_F(ServiceOnDouble, WithoutCardStopsWithServiceSpecificError) {
    double_.remove_card(1);
    sc({"start", SERVICE_NAME});
    ServiceStatus last;
    const std::vector<int> states = watch_states(
        [](const ServiceStatus& s) { return s.state == STATE_STOPPED && s.win32_exit_code != 0; }, &last);
    EXPECT_EQ(STATE_STOPPED, last.state);
    EXPECT_EQ(1066, last.win32_exit_code);
    EXPECT_EQ(1, last.service_exit_code);
    for (int state : states) EXPECT_NE(STATE_RUNNING, state);
}

TEST_F(GatewayOnDouble, DaemonOptionFromAConsoleEndsQuietly) {
    auto gateway = run_gateway({"-d"});
    EXPECT_EQ(0, gateway->wait_exit(40s));
    EXPECT_EQ("", gateway->stdout_text());
    EXPECT_TRUE(driverdouble::device_controls(double_.log(1)).empty());
}

// The C example of libbusrec.dll (BUSREC_EXAMPLE_EXE, the DLL's folder in BUSREC_DLL_DIR): it
// lists the cards, opens the first, captures for a few seconds and prints events and the report.
TEST_F(GatewayOnDouble, LibraryExampleCapturesThroughASession) {
    const char* example = std::getenv("BUSREC_EXAMPLE_EXE");
    const char* dll_dir = std::getenv("BUSREC_DLL_DIR");
    ASSERT_TRUE(example != nullptr && *example != '\0' && dll_dir != nullptr && *dll_dir != '\0')
        << "BUSREC_EXAMPLE_EXE and BUSREC_DLL_DIR must name the example and the DLL's folder";
    double_.set_infos(1, encoded(chosen_infos(0, 0xBEEF)));
    GatewayProcess program(double_.wine(), {example, "6"}, {{"WINEPATH", windows_path(dll_dir)}});
    ASSERT_TRUE(double_.wait_pending(1, 1, PENDING_TIMEOUT_MS)) << program.stdout_text() << program.stderr_text();
    for (int i = 0; i < 50 && double_.state(1)["sniffer"] != SNIFFER_ON; ++i) std::this_thread::sleep_for(100ms);

    BlockBuilder block;
    for (uint64_t index = 1; index <= 3; ++index)
        ASSERT_TRUE(block.add_record(testsupport::make_identifier_frame(0x03, static_cast<uint16_t>(0x1200 + index)),
                                     index, 5000 + index));
    ASSERT_TRUE(block.add_record(testsupport::make_identifier_frame(0x03, 0x1299, FCS_MODE_1DCF, false), 4, 5004));
    double_.inject(1, {block.build()});

    ASSERT_EQ(0, program.wait_exit(40s)) << program.stdout_text() << program.stderr_text();
    const std::string out = without_cr(program.stdout_text());
    EXPECT_NE(out.find("1 card(s)\n  card 1: serial 0x0000BEEF, 10EE:7021, driver 0x00020105\n"), std::string::npos)
        << out;
    for (uint64_t index = 1; index <= 3; ++index) {
        const std::string line = "event " + std::to_string(index) + " t=" + std::to_string(5000 + index) +
                                 " ctrl=0x03 id=0x120" + std::to_string(index) + " ";
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    // A frame that fails its check is handed on as an error event and not decoded.
    const std::size_t fourth = out.find("event 4 t=5004 ctrl=0x03 ");
    ASSERT_NE(fourth, std::string::npos) << out;
    EXPECT_NE(out.find("error=6\n", fourth), std::string::npos) << out;
    EXPECT_NE(out.find("4 events: 3 correct, 1 errors, 0 lost"), std::string::npos) << out;

    // The close reaches the driver after CloseHandle returned.
    for (int i = 0; i < 50 && double_.state(1)["closes"] < 2; ++i) std::this_thread::sleep_for(100ms);
    const std::vector<SeenRequest> log = double_.log(1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(2u, log.back().major) << "nothing may follow the close of the session's handle";
    const std::vector<SeenRequest> requests = driverdouble::device_controls(log);
    std::vector<std::pair<uint32_t, uint64_t>> settings;
    for (const SeenRequest& r : requests)
        if (r.code == LINKSCOPE_IOCTL_SET_EPOCH || r.code == LINKSCOPE_IOCTL_SET_SNIFFER)
            settings.emplace_back(r.code, r.code == LINKSCOPE_IOCTL_SET_SNIFFER ? r.input_value() : 0);
    const std::vector<std::pair<uint32_t, uint64_t>> expected{{LINKSCOPE_IOCTL_SET_EPOCH, 0},
                                                              {LINKSCOPE_IOCTL_SET_SNIFFER, SNIFFER_ON},
                                                              {LINKSCOPE_IOCTL_SET_SNIFFER, SNIFFER_OFF}};
    EXPECT_EQ(expected, settings);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(LINKSCOPE_IOCTL_RELEASE_WAIT, requests.back().code);
    EXPECT_EQ(2u, driverdouble::count_code(requests, LINKSCOPE_IOCTL_WAIT_EVENTS)) << "one block, one wait released";
    EXPECT_EQ(0u, double_.state(1)["pending_waits"]);
}

// The example on a card that stops answering while the session runs: the library gives the
// card up after 1 s of failed waits, calls the error handler once with 265, asks the card
// nothing more (no sniffer stop, no release), and the session still ends cleanly.
TEST_F(GatewayOnDouble, LibraryExampleIsToldWhenTheCardStopsAnswering) {
    const char* example = std::getenv("BUSREC_EXAMPLE_EXE");
    const char* dll_dir = std::getenv("BUSREC_DLL_DIR");
    ASSERT_TRUE(example != nullptr && *example != '\0' && dll_dir != nullptr && *dll_dir != '\0')
        << "BUSREC_EXAMPLE_EXE and BUSREC_DLL_DIR must name the example and the DLL's folder";
    GatewayProcess program(double_.wine(), {example, "60"}, {{"WINEPATH", windows_path(dll_dir)}});
    ASSERT_TRUE(double_.wait_pending(1, 1, PENDING_TIMEOUT_MS)) << program.stdout_text() << program.stderr_text();
    for (int i = 0; i < 50 && double_.state(1)["sniffer"] != SNIFFER_ON; ++i) std::this_thread::sleep_for(100ms);
    double_.break_card(1);

    EXPECT_EQ(1, program.wait_exit(40s)) << program.stdout_text() << program.stderr_text();
    const std::string errors = without_cr(program.stderr_text());
    const std::string told = "session error 265: The device no longer answers; the session has stopped capturing.\n";
    const std::size_t at = errors.find(told);
    ASSERT_NE(at, std::string::npos) << errors;
    EXPECT_EQ(errors.find(told, at + 1), std::string::npos) << "the error handler is called once: " << errors;

    for (int i = 0; i < 50 && double_.state(1)["closes"] < 2; ++i) std::this_thread::sleep_for(100ms);
    const std::vector<SeenRequest> requests = driverdouble::device_controls(double_.log(1));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(LINKSCOPE_IOCTL_WAIT_EVENTS, requests.back().code) << "nothing is asked after the card was given up";
    EXPECT_EQ(1u, driverdouble::count_code(requests, LINKSCOPE_IOCTL_SET_SNIFFER));
    EXPECT_EQ(0u, driverdouble::count_code(requests, LINKSCOPE_IOCTL_RELEASE_WAIT));
}

}  // namespace
