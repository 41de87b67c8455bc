#include "gateway/udp/udpclient.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <gtest/gtest.h>

#include "common/driver/byteorder.h"
#include "common/stream/datagramheader.h"
#include "common/stream/lossrecord.h"
#include "common/stream/recordwalk.h"
#include "platform/processtimes.h"
#include "tests/gateway/udp/isolatednamespace.h"
#include "tests/support/scratchdirectory.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Record = std::vector<char>;
using boost::asio::ip::udp;

namespace {

constexpr uint8_t EVENT_TYPE = 0xC0;
constexpr uint8_t LIFESIGN_TYPE = 0xC1;
constexpr std::size_t TAG_OFFSET = 3;
constexpr unsigned NO_LIFESIGN_EXPIRY = 100000;  // keeps the watchdog out of a test's way

// A record framed as the producers frame theirs: type, 16-bit length, then a 32-bit tag.
Record make_record(uint8_t type, std::size_t length, uint32_t tag) {
    Record record(length, 0x11);
    record[0] = static_cast<char>(type);
    linkscope::store_be16(reinterpret_cast<uint8_t*>(record.data()) + 1, static_cast<uint16_t>(length));
    if (length >= TAG_OFFSET + 4) linkscope::store_be32(reinterpret_cast<uint8_t*>(record.data()) + TAG_OFFSET, tag);
    return record;
}

uint32_t tag_of(const Record& record) {
    return linkscope::load_be32(reinterpret_cast<const uint8_t*>(record.data()) + TAG_OFFSET);
}

struct Received {
    DatagramHeader header;
    std::size_t length = 0;
    std::vector<Record> records;
};

// Walks the payload by the records' own length fields, checking every bound.
::testing::AssertionResult parse(const std::vector<uint8_t>& bytes, Received& out) {
    std::string error;
    if (!DatagramHeader::decode(bytes.data(), bytes.size(), out.header, &error))
        return ::testing::AssertionFailure() << error;
    out.length = bytes.size();
    const auto keep = [&out](const RecordWalk::Record& record, std::string&) {
        out.records.emplace_back(record.bytes, record.bytes + record.length);
        return true;
    };
    if (!RecordWalk::walk(bytes.data(), bytes.size(), out.header.record_count, keep, &error))
        return ::testing::AssertionFailure() << error;
    return ::testing::AssertionSuccess();
}

class Receiver {
public:
    explicit Receiver(const std::string& address = "127.0.0.1") : socket_(io_) {
        socket_.open(udp::v4());
        socket_.set_option(boost::asio::socket_base::receive_buffer_size(8 << 20));
        socket_.bind(udp::endpoint(boost::asio::ip::make_address_v4(address), 0));
        socket_.non_blocking(true);
    }

    unsigned short port() const { return socket_.local_endpoint().port(); }

    bool receive(Received& out, std::chrono::milliseconds timeout = 5000ms) {
        std::vector<uint8_t> buffer(70000);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            boost::system::error_code error;
            udp::endpoint from;
            const std::size_t n = socket_.receive_from(boost::asio::buffer(buffer), from, 0, error);
            if (!error) {
                buffer.resize(n);
                out = Received{};
                return parse(buffer, out);
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    // Everything that arrives until the line has been quiet for a while.
    std::vector<Received> receive_until_quiet(std::chrono::milliseconds quiet = 300ms) {
        std::vector<Received> all;
        Received one;
        while (receive(one, quiet)) all.push_back(one);
        return all;
    }

private:
    boost::asio::io_service io_;
    udp::socket socket_;
};

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class UDPClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue_ = std::make_shared<UDPClient::RecordQueue>((root_ / "buffer.bin").string(), 8u << 20);
        log_path_ = (root_ / "log.txt").string();
        log_ = std::fopen(log_path_.c_str(), "w+");
        ASSERT_NE(log_, nullptr);
    }
    void TearDown() override {
        client_.reset();
        queue_.reset();
        std::fclose(log_);
    }

    void start(unsigned short port, int max_evt, unsigned lifesign = NO_LIFESIGN_EXPIRY,
               const std::string& ip = "127.0.0.1", bool broadcast = false) {
        client_ = std::make_unique<UDPClient>(ip, port, broadcast, lifesign, max_evt, queue_, log_);
    }

    std::string log_text() {
        std::fflush(log_);
        std::ifstream in(log_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    testsupport::ScratchDirectory scratch_{"busgate-udp"};
    const fs::path root_{scratch_.path()};
    std::shared_ptr<UDPClient::RecordQueue> queue_;
    std::string log_path_;
    FILE* log_ = nullptr;
    std::unique_ptr<UDPClient> client_;
};

}  // namespace

TEST_F(UDPClientTest, MaxEvtOneSendsEachRecordAloneFromSequenceOne) {
    Receiver receiver;
    for (uint32_t n = 0; n < 5; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    start(receiver.port(), 1);
    for (uint32_t n = 0; n < 5; ++n) {
        Received datagram;
        ASSERT_TRUE(receiver.receive(datagram));
        EXPECT_EQ(datagram.header.sequence, n + 1);
        ASSERT_EQ(datagram.header.record_count, 1u);
        EXPECT_EQ(tag_of(datagram.records[0]), n);
    }
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_sent_cnt == 5; }));
    const UDPStats stats = client_->stats();
    EXPECT_EQ(stats.bytes_sent_cnt, 5u * (16 + 40 + 42));
    EXPECT_EQ(stats.ip, "127.0.0.1");
    EXPECT_EQ(stats.port, receiver.port());
    EXPECT_EQ(stats.pkt_err_cnt, 0u);
    EXPECT_EQ(stats.pkt_rcvd_cnt, 0u);
    EXPECT_EQ(stats.bytes_rcvd_cnt, 0u);
}

TEST_F(UDPClientTest, SteadyFlowFillsDatagramsOfMaxEvtRecords) {
    Receiver receiver;
    for (uint32_t n = 0; n < 3000; ++n) queue_->enqueue(make_record(EVENT_TYPE, 32, n));
    start(receiver.port(), 1000);
    uint32_t next = 0;
    for (uint64_t sequence = 1; sequence <= 3; ++sequence) {
        Received datagram;
        ASSERT_TRUE(receiver.receive(datagram));
        EXPECT_EQ(datagram.header.sequence, sequence);
        ASSERT_EQ(datagram.header.record_count, 1000u);
        for (const Record& record : datagram.records) ASSERT_EQ(tag_of(record), next++);
    }
}

struct SizeCase {
    const char* name;
    std::vector<std::size_t> lengths;                // records queued, in order
    std::vector<std::vector<std::size_t>> expected;  // indices of the records in each datagram
};

class UDPClientSizeRule : public UDPClientTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(UDPClientSizeRule, ClosesDatagramsBySize) {
    Receiver receiver;
    const SizeCase& c = GetParam();
    for (std::size_t i = 0; i < c.lengths.size(); ++i)
        queue_->enqueue(make_record(EVENT_TYPE, c.lengths[i], static_cast<uint32_t>(i)));
    start(receiver.port(), 1000);
    for (const auto& indices : c.expected) {
        Received datagram;
        ASSERT_TRUE(receiver.receive(datagram));
        EXPECT_LE(datagram.length, Datagram::MAX_UDP_PAYLOAD);
        ASSERT_EQ(datagram.records.size(), indices.size());
        for (std::size_t k = 0; k < indices.size(); ++k) EXPECT_EQ(tag_of(datagram.records[k]), indices[k]);
    }
    EXPECT_EQ(client_->stats().pkt_err_cnt, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UDPClientSizeRule,
    ::testing::Values(
        // 64950 -> 65050: the record that crosses the threshold goes along, the next starts anew.
        SizeCase{"CrossingRecordIncluded", {64900, 50, 100, 40}, {{0, 1, 2}, {3}}},
        // Exactly 64994 is not over the threshold.
        SizeCase{"ExactThresholdStaysOpen", {64994, 10, 40}, {{0, 1}, {2}}},
        // A record that would pass 65507 bytes closes the datagram first and starts the next.
        SizeCase{"IPv4LimitNeverPassed", {64990, 600, 40}, {{0}, {1, 2}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UDPClientTest, LifesignRecordKeepsItsPlaceAndIsCounted) {
    Receiver receiver;
    queue_->enqueue(make_record(EVENT_TYPE, 40, 1));
    queue_->enqueue(make_record(LIFESIGN_TYPE, 323, 2));
    queue_->enqueue(make_record(EVENT_TYPE, 40, 3));
    start(receiver.port(), 1000);
    Received datagram;
    ASSERT_TRUE(receiver.receive(datagram));
    ASSERT_EQ(datagram.header.record_count, 3u);
    EXPECT_EQ(static_cast<uint8_t>(datagram.records[1][0]), LIFESIGN_TYPE);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(tag_of(datagram.records[k]), k + 1);
}

TEST_F(UDPClientTest, RecordsFarApartLeaveInTheirOwnDatagrams) {
    Receiver receiver;
    start(receiver.port(), 1000);
    for (uint32_t n = 0; n < 3; ++n) {
        queue_->enqueue(make_record(EVENT_TYPE, 40, n));
        Received datagram;
        ASSERT_TRUE(receiver.receive(datagram));
        EXPECT_EQ(datagram.header.record_count, 1u);
        EXPECT_EQ(datagram.header.sequence, n + 1);
    }
}

TEST_F(UDPClientTest, FailedSendIsCountedLoggedPrintedAndSpendsItsSequence) {
    Receiver receiver;
    // Alone in its datagram this record passes the IPv4 limit: the send fails (message too long).
    queue_->enqueue(make_record(EVENT_TYPE, 65535, 1));
    queue_->enqueue(make_record(EVENT_TYPE, 40, 2));
    ::testing::internal::CaptureStdout();
    start(receiver.port(), 1);
    Received datagram;
    const bool received = receiver.receive(datagram);
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_sent_cnt == 1; }));
    client_.reset();
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received);
    EXPECT_EQ(datagram.header.sequence, 2u);
    EXPECT_EQ(tag_of(datagram.records[0]), 2u);
    EXPECT_EQ(out.rfind("e.what(): send_to: ", 0), 0u) << out;
    EXPECT_NE(out.find(" - e.code(): system:" + std::to_string(static_cast<int>(boost::asio::error::message_size)) + "\n"), std::string::npos) << out;
    EXPECT_EQ(count_of(out, "e.what(): "), 1u);
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "impossible to send on udp.\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[error]"), 1u) << log;
}

TEST_F(UDPClientTest, LossRecordsLeaveAtOnceAndAtTheStopWithTheCardTheQueueAndTheFailedSends) {
    Receiver receiver;
    queue_->enqueue(make_record(EVENT_TYPE, 65535, 1));  // alone in its datagram: its send fails
    ::testing::internal::CaptureStdout();
    start(receiver.port(), 1);
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_err_cnt == 1; }));
    client_->send_loss_records([] { return uint64_t{7}; });
    Received first;
    const bool received = receiver.receive(first, 500ms);  // nothing else is queued: it came at once
    client_.reset();
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received);
    std::vector<Received> rest = receiver.receive_until_quiet();
    ASSERT_FALSE(rest.empty());
    LossRecord at_start, at_stop;
    ASSERT_EQ(first.records.size(), 1u);
    ASSERT_TRUE(LossRecord::decode(reinterpret_cast<const uint8_t*>(first.records[0].data()), first.records[0].size(),
                                   &at_start));
    const Record& last = rest.back().records.back();
    ASSERT_TRUE(LossRecord::decode(reinterpret_cast<const uint8_t*>(last.data()), last.size(), &at_stop));
    EXPECT_EQ(at_start.counter, 1u);
    EXPECT_EQ(at_stop.counter, 1u + rest.size());
    for (const LossRecord& record : {at_start, at_stop}) {
        EXPECT_EQ(record.card_lost_frames, 7u);
        EXPECT_EQ(record.queue_refused, 0u);
        EXPECT_EQ(record.send_failed_datagrams, 1u);
        EXPECT_EQ(record.send_failed_records, 1u);
    }
}

TEST_F(UDPClientTest, FailedSendCountsOnlyAnErrorAndLeavesTheWatchdogAlone) {
    Receiver receiver;
    ::testing::internal::CaptureStdout();
    start(receiver.port(), 1);
    queue_->enqueue(make_record(EVENT_TYPE, 65535, 1));
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_err_cnt == 1; }));
    std::this_thread::sleep_for(50ms);
    const UDPStats stats = client_->stats();
    client_.reset();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(stats.pkt_sent_cnt, 0u);
    EXPECT_EQ(stats.bytes_sent_cnt, 0u);
    EXPECT_FALSE(stats.is_active);
}

TEST_F(UDPClientTest, StoppingSendsThePartlyFilledDatagram) {
    Receiver receiver;
    start(receiver.port(), 1000000);
    std::atomic<bool> producing{true};
    uint32_t produced = 0;
    std::thread producer([&] {
        for (uint32_t& n = produced; producing; ++n) {
            queue_->enqueue(make_record(EVENT_TYPE, 30, n));
            std::this_thread::sleep_for(100us);
        }
    });
    std::vector<Received> datagrams;
    std::thread reader([&] { datagrams = receiver.receive_until_quiet(1000ms); });
    std::this_thread::sleep_for(150ms);
    client_.reset();
    std::this_thread::sleep_for(5ms);
    producing = false;
    producer.join();
    reader.join();
    // Every record that left the queue arrived: the first one still queued follows the last received.
    uint32_t next = 0;
    for (const Received& datagram : datagrams)
        for (const Record& record : datagram.records) ASSERT_EQ(tag_of(record), next++);
    EXPECT_GT(next, 0u);
    Record left;
    if (queue_->dequeue(left))
        EXPECT_EQ(tag_of(left), next);
    else
        EXPECT_EQ(produced, next);
}

TEST_F(UDPClientTest, MaxEvtZeroSendsNothingLeavesTheQueueAndDoesNotSpin) {
    Receiver receiver;
    for (uint32_t n = 0; n < 3; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    start(receiver.port(), 0);
    const double cpu_start = platform::process_cpu_seconds();
    std::this_thread::sleep_for(300ms);
    const double cpu_seconds = platform::process_cpu_seconds() - cpu_start;
    client_.reset();
    EXPECT_LT(cpu_seconds, 0.15);
    Received datagram;
    EXPECT_FALSE(receiver.receive(datagram, 50ms));
    for (uint32_t n = 0; n < 3; ++n) {
        Record record;
        ASSERT_TRUE(queue_->dequeue(record));
        EXPECT_EQ(tag_of(record), n);
    }
}

TEST_F(UDPClientTest, ConstructionLogsTheConnectedLineOnce) {
    start(57117, 1000);
    client_.reset();
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "udp socket connected (port=57117)\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[info]"), 1u) << log;
}

class UDPClientBadAddress : public UDPClientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UDPClientBadAddress, ThrowsAndStartsNothing) {
    EXPECT_THROW(start(57117, 1000, 500, GetParam()), boost::system::system_error);
    EXPECT_EQ(log_text(), "");
}

INSTANTIATE_TEST_SUITE_P(Texts, UDPClientBadAddress,
                         ::testing::Values("::1", "fe80::1", "localhost", "1.2.3", "", "127.0.0.256",
                                           "1.2.3.4.5", "1..2.3", "01.2.3.4", "127.0.0.1 "));

TEST(UDPStatsCounters, PerSecondFigureIsGrowthModulo2To32) {
    EXPECT_EQ(UDPClient::counter_growth(5, 4294967290u), 11u);
    EXPECT_EQ(UDPClient::counter_growth(7, 7), 0u);
    EXPECT_EQ(UDPClient::counter_growth(100, 0), 100u);
}

namespace {

class CopyingObserver : public Observer {
public:
    void update(Observable* source) override {
        const UDPStats copy = static_cast<UDPClient*>(source)->stats();
        std::lock_guard<std::mutex> lock(mutex);
        copies.push_back(copy);
        if (stall_once.exchange(false)) {
            stalling = true;
            std::this_thread::sleep_for(400ms);
            stalling = false;
        }
    }
    std::mutex mutex;
    std::vector<UDPStats> copies;
    std::atomic<bool> stall_once{false};
    std::atomic<bool> stalling{false};
};

}  // namespace

TEST_F(UDPClientTest, PerSecondFiguresAddUpAndASlowObserverDoesNotHoldTheSender) {
    Receiver receiver;
    auto observer = std::make_shared<CopyingObserver>();
    observer->stall_once = true;
    start(receiver.port(), 1);
    client_->attach(observer);
    // A send marks the record changed; the next round calls the observer, which then stalls.
    queue_->enqueue(make_record(EVENT_TYPE, 40, 1));
    Received datagram;
    ASSERT_TRUE(receiver.receive(datagram));
    ASSERT_TRUE(wait_until([&] { return observer->stalling.load(); }, 3000ms));
    // While the observer sits in its slow update, datagrams still leave.
    queue_->enqueue(make_record(EVENT_TYPE, 40, 2));
    EXPECT_TRUE(receiver.receive(datagram, 300ms));
    EXPECT_TRUE(observer->stalling);
    for (uint32_t n = 3; n <= 4; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_sent_cnt == 4; }));
    // Two more per-second rounds publish what was sent.
    std::this_thread::sleep_for(2200ms);
    client_.reset();
    std::lock_guard<std::mutex> lock(observer->mutex);
    ASSERT_FALSE(observer->copies.empty());
    uint32_t packets = 0;
    uint32_t bytes = 0;
    for (const UDPStats& copy : observer->copies) {
        packets += copy.pkt_sent_cnt_per_sec;
        bytes += copy.bytes_sent_cnt_per_sec;
        EXPECT_EQ(copy.pkt_rcvd_cnt_per_sec, 0u);
        EXPECT_EQ(copy.port, receiver.port());
    }
    EXPECT_EQ(packets, 4u);
    EXPECT_EQ(bytes, 4u * (16 + 40 + 42));
}

TEST_F(UDPClientTest, WatchdogWithDefaultLifesignEndsActivity2500msAfterTheLastSend) {
    Receiver receiver;
    start(receiver.port(), 1, 500);
    const auto before_send = boost::posix_time::microsec_clock::local_time();
    queue_->enqueue(make_record(EVENT_TYPE, 40, 1));
    ASSERT_TRUE(wait_until([&] { return client_->stats().is_active; }));
    const UDPStats active = client_->stats();
    EXPECT_LT(active.act_duration, boost::posix_time::milliseconds(100));
    EXPECT_GE(active.inact_duration, boost::posix_time::time_duration(0, 0, 0, 0));

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return !client_->stats().is_active; }, 6000ms));
    const auto inactive_after = std::chrono::steady_clock::now() - sent;
    const UDPStats stats = client_->stats();
    EXPECT_GE(inactive_after, 2400ms);
    EXPECT_LT(inactive_after, 4500ms);
    EXPECT_EQ(stats.act_loss_cnt, 1u);
    EXPECT_GE(stats.last_stop_date, before_send);
    EXPECT_EQ(stats.act_duration, stats.last_stop_date - stats.last_start_date);
    EXPECT_GE(stats.inact_duration, boost::posix_time::milliseconds(2500));
    EXPECT_EQ(stats.total_act_duration, stats.act_duration);
}

TEST_F(UDPClientTest, WatchdogSendsInsideThePeriodKeepTheLinkActiveUntilTheyStop) {
    Receiver receiver;
    start(receiver.port(), 1, 100);  // a 500 ms watchdog period
    // Each send moves the end of the countdown: a watchdog that slept through it must not
    // end the activity at the end it saw before.
    for (uint32_t n = 1; n <= 12; ++n) {
        queue_->enqueue(make_record(EVENT_TYPE, 40, n));
        std::this_thread::sleep_for(100ms);
    }
    UDPStats stats = client_->stats();
    EXPECT_TRUE(stats.is_active);
    EXPECT_EQ(stats.act_loss_cnt, 0u);
    EXPECT_EQ(stats.pkt_sent_cnt, 12u);

    const auto last = std::chrono::steady_clock::now() - 100ms;
    ASSERT_TRUE(wait_until([&] { return !client_->stats().is_active; }, 3000ms));
    const auto inactive_after = std::chrono::steady_clock::now() - last;
    EXPECT_GE(inactive_after, 490ms);
    EXPECT_LT(inactive_after, 1500ms);
    // Down, the figures grow tick by tick.
    const auto first = client_->stats().inact_duration;
    std::this_thread::sleep_for(100ms);
    stats = client_->stats();
    EXPECT_GE(stats.inact_duration - first, boost::posix_time::milliseconds(60));
    EXPECT_EQ(stats.act_loss_cnt, 1u);
}

TEST_F(UDPClientTest, WatchdogWithLifesignZeroEndsActivityAfterEverySend) {
    Receiver receiver;
    start(receiver.port(), 1, 0);
    for (uint32_t n = 1; n <= 3; ++n) {
        queue_->enqueue(make_record(EVENT_TYPE, 40, n));
        Received datagram;
        ASSERT_TRUE(receiver.receive(datagram));
        ASSERT_TRUE(wait_until([&] { return client_->stats().act_loss_cnt == n; }, 3000ms));
        std::this_thread::sleep_for(50ms);
    }
    const UDPStats stats = client_->stats();
    EXPECT_EQ(stats.act_loss_cnt, 3u);
    EXPECT_FALSE(stats.is_active);
    EXPECT_EQ(stats.pkt_sent_cnt, 3u);
}

// Inside a network namespace of its own, with only loopback, routed to carry the broadcast.
TEST_F(UDPClientTest, BroadcastGoesTo255255255255WhateverTheText) {
    RUN_INSIDE_NAMESPACE("-rn");
    if (std::system("ip link set lo up && ip route add 255.255.255.255/32 dev lo table local") != 0 &&
        std::system("ip route add default dev lo") != 0)
        GTEST_SKIP() << "cannot route the broadcast on loopback here";
    Receiver receiver("0.0.0.0");
    start(receiver.port(), 1, NO_LIFESIGN_EXPIRY, "10.0.0.5", true);
    queue_->enqueue(make_record(EVENT_TYPE, 40, 7));
    Received datagram;
    ASSERT_TRUE(receiver.receive(datagram));
    EXPECT_EQ(tag_of(datagram.records[0]), 7u);
    EXPECT_EQ(client_->stats().ip, "10.0.0.5");
}

// Inside a network namespace of its own with no route at all: every send meets network-unreachable.
TEST_F(UDPClientTest, UnreachableNetworkCountsNoErrorAndTheLinkStaysInactive) {
    RUN_INSIDE_NAMESPACE("-rn");
    ::testing::internal::CaptureStdout();
    start(57117, 1, 10, "10.0.0.5");
    constexpr int OFFERED = 100;
    for (uint32_t n = 0; n < OFFERED; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    std::this_thread::sleep_for(200ms);
    const UDPStats first = client_->stats();
    std::this_thread::sleep_for(100ms);
    const UDPStats later = client_->stats();
    client_.reset();
    int left = 0;
    Record record;
    while (queue_->dequeue(record)) ++left;
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(later.pkt_err_cnt, 0u);
    EXPECT_EQ(later.pkt_sent_cnt, 0u);
    EXPECT_FALSE(later.is_active);
    EXPECT_EQ(later.act_loss_cnt, 0u);
    // A 10 ms pause after each failed send: 300 ms drain about 30 records, not all.
    EXPECT_GE(left, 30);
    EXPECT_LT(left, OFFERED);
    EXPECT_GT(later.inact_duration, first.inact_duration);
    EXPECT_EQ(later.inact_duration, later.total_inact_duration);
    EXPECT_EQ(count_of(log_text(), "[error]"), 0u);
}

// Inside a namespace of its own whose loopback starts down: sends to 127.0.0.1 meet
// network-unreachable until the test brings the loopback up.
TEST_F(UDPClientTest, UnreachableNetworkIsWarnedOnceAndTheDropCountGivenWhenItWorksAgain) {
    RUN_INSIDE_NAMESPACE("-rn");
    if (std::system("ip link set lo down") != 0) GTEST_SKIP() << "cannot set the loopback down here";
    Receiver receiver("0.0.0.0");
    ::testing::internal::CaptureStdout();
    start(receiver.port(), 2);
    constexpr uint32_t OFFERED = 20;
    for (uint32_t n = 0; n < OFFERED; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    ASSERT_TRUE(wait_until([&] { return count_of(log_text(), "network unreachable") == 1; }));
    // Ten datagrams of two records, each followed by a 10 ms pause.
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    queue_->enqueue(make_record(EVENT_TYPE, 40, 99));
    Received datagram;
    ASSERT_TRUE(receiver.receive(datagram));
    EXPECT_EQ(tag_of(datagram.records[0]), 99u);
    EXPECT_EQ(datagram.header.sequence, 11u);  // the dropped datagrams spent their numbers
    ASSERT_TRUE(wait_until([&] { return count_of(log_text(), "reachable again") == 1; }));
    const UDPStats stats = client_->stats();
    client_.reset();
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "[warn]  udp: network unreachable, datagrams to 127.0.0.1:" +
                                std::to_string(receiver.port()) + " are dropped\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[warn]  udp: network reachable again (127.0.0.1:" + std::to_string(receiver.port()) +
                                "), 10 datagrams with 20 records were dropped\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[warn]"), 2u) << log;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(stats.pkt_err_cnt, 0u);
    EXPECT_EQ(stats.pkt_sent_cnt, 1u);
}

TEST_F(UDPClientTest, StopWhileUnreachableStillGivesTheDropCount) {
    RUN_INSIDE_NAMESPACE("-rn");
    start(57117, 1, NO_LIFESIGN_EXPIRY, "10.0.0.5");
    for (uint32_t n = 0; n < 3; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    ASSERT_TRUE(wait_until([&] { return queue_->get_usage().used == 0 || count_of(log_text(), "unreachable") > 0; }));
    std::this_thread::sleep_for(200ms);
    client_.reset();
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "network unreachable, datagrams to 10.0.0.5:57117 are dropped\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "network still unreachable at stop (10.0.0.5:57117), 3 datagrams with 3 records were dropped\n"), 1u) << log;
}

// Every other send error is counted exactly, but written a few times a second only, with a
// per-second count of the lines left out. Broadcast without the broadcast option is refused.
TEST_F(UDPClientTest, RepeatedSendErrorsAreLoggedAFewTimesASecondAndCountedExactly) {
    RUN_INSIDE_NAMESPACE("-rn");
    // A route for the broadcast address; without the broadcast option the send is refused.
    if (std::system("ip link set lo up && ip route add default dev lo") != 0)
        GTEST_SKIP() << "cannot route on the loopback here";
    ::testing::internal::CaptureStdout();
    start(57117, 1, NO_LIFESIGN_EXPIRY, "255.255.255.255");
    constexpr uint32_t OFFERED = 150;
    for (uint32_t n = 0; n < OFFERED; ++n) queue_->enqueue(make_record(EVENT_TYPE, 40, n));
    ASSERT_TRUE(wait_until([&] { return client_->stats().pkt_err_cnt == OFFERED; }, 10000ms));
    client_.reset();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string log = log_text();
    const std::size_t lines = count_of(log, "[error] impossible to send on udp.\n");
    EXPECT_EQ(count_of(out, "e.what(): "), lines);
    // 150 failures take at least 1.5 s: two or three windows of five lines.
    EXPECT_GE(lines, 5u);
    EXPECT_LE(lines, 4 * RepeatLimiter::DEFAULT_LINES_PER_SECOND) << log;
    const std::string summary = "[error] impossible to send on udp: ";
    uint64_t left_out = 0;
    for (auto at = log.find(summary); at != std::string::npos; at = log.find(summary, at + 1))
        left_out += std::stoull(log.substr(at + summary.size()));
    EXPECT_EQ(lines + left_out, OFFERED) << log;
}

TEST_F(UDPClientTest, DroppedRecordsAreReportedAtMostOncePerSecond) {
    auto small = std::make_shared<UDPClient::RecordQueue>((root_ / "small.bin").string(), 64u << 10);
    // max_evt 0 drains nothing, so the segment stays full while the sender watches the count.
    client_ = std::make_unique<UDPClient>("127.0.0.1", 57117, false, NO_LIFESIGN_EXPIRY, 0, small, log_);
    auto overfill = [&] {
        for (uint32_t n = 0; n < 20000; ++n) small->enqueue(make_record(EVENT_TYPE, 40, n));
    };
    overfill();
    ASSERT_GT(small->dropped_count(), 0u);
    ASSERT_TRUE(wait_until([&] { return count_of(log_text(), "buffer full: ") == 1; }));
    overfill();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(count_of(log_text(), "buffer full: "), 1u);
    ASSERT_TRUE(wait_until([&] { return count_of(log_text(), "buffer full: ") == 2; }, 3000ms));
    client_.reset();
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "[warn]"), 2u) << log;
    EXPECT_NE(log.find("(" + std::to_string(small->dropped_count()) + " since start)"), std::string::npos) << log;
}
