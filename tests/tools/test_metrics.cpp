// busdump --metrics: the exposition's text in both formats, what the board makes of a sender's
// datagrams (up and down, lifesign figures in base units, losses by stage), and the endpoint
// over HTTP.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <chrono>
#include <thread>

#include "tests/support/httpget.h"
#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/metricsboard.h"
#include "tools/busdump/metricsserver.h"

using busdump::MetricsBoard;
using busdump::MetricsFamilies;
using busdumptest::put_be;

namespace {

struct NumberCase {
    double value;
    const char* text;
};

TEST(MetricsFamilies, WritesNumbersAsTheExpositionReadsThem) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const NumberCase& c : {NumberCase{0, "0"}, NumberCase{-3, "-3"}, NumberCase{4294967296.0, "4294967296"},
                                NumberCase{0.1, "0.1"}, NumberCase{0.990049744, "0.990049744"},
                                NumberCase{1e300, "1e+300"}, NumberCase{0.1 + 0.2, "0.30000000000000004"},
                                NumberCase{std::nan(""), "NaN"}, NumberCase{inf, "+Inf"}, NumberCase{-inf, "-Inf"}})
        EXPECT_EQ(MetricsFamilies::number(c.value), c.text) << c.text;
    EXPECT_EQ(MetricsFamilies::escape("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

// A sender's datagrams fed to a table and the board as busdump does, read back as samples.
class MetricsBoardTest : public ::testing::Test {
protected:
    void send(const std::vector<std::vector<uint8_t>>& records, int64_t at_us, uint16_t port = 4000) {
        const std::vector<uint8_t> bytes = busdumptest::make_datagram(++sequence_, records);
        busdump::DecodedDatagram datagram = busdump::DatagramDecoder::decode(bytes.data(), bytes.size());
        std::vector<busdump::Notice> notices;
        table_.observe("10.0.0.7", port, datagram, at_us, notices);
    }

    static std::vector<uint8_t> lifesign(uint32_t counter, int64_t created_us) {
        std::vector<uint8_t> record = busdumptest::make_lifesign();
        put_be(record, 7, 4, counter);
        put_be(record, 11, 8, static_cast<uint64_t>(created_us));
        put_be(record, 19, 4, 0x4c530009);
        const float load = 12.5f;
        uint32_t bits = 0;
        std::memcpy(&bits, &load, sizeof bits);
        put_be(record, 23, 4, bits);
        put_be(record, 47, 4, 2048);  // memory, KiB
        put_be(record, 63, 4, 52429);  // buffer, thousands of bytes
        return record;
    }

    // The value of the sample that starts with `head` (name and labels), or NaN when none does.
    double sample(const std::string& head, int64_t now_us) const {
        const std::string text = board_.families(table_, nullptr, now_us).text(MetricsFamilies::Format::openmetrics);
        const std::size_t at = text.find("\n" + head + " ");
        if (at == std::string::npos) return std::nan("");
        return std::strtod(text.c_str() + at + head.size() + 2, nullptr);
    }

    const std::string sender_ = "{address=\"10.0.0.7\",port=\"4000\",serial=\"0x4c530009\"}";
    busdump::SourceTable table_;
    std::shared_ptr<busdump::MetricsSnapshot> snapshot_ = std::make_shared<busdump::MetricsSnapshot>();
    MetricsBoard board_{snapshot_};
    uint64_t sequence_ = 0;
};

TEST_F(MetricsBoardTest, ASenderGoesDownAfterThreeLifesignPeriodsAndStaysListed) {
    const int64_t t0 = 1000000000;
    send({lifesign(1, 5000000), busdumptest::make_id_event(1)}, t0);
    // Two lifesigns three numbers apart (two lost on the way), 600 ms apart: a 200 ms period.
    send({lifesign(4, 5600000), busdumptest::make_id_event(2)}, t0 + 600000);
    EXPECT_DOUBLE_EQ(sample("busgate_sender_lifesign_period_seconds" + sender_, t0), 0.2);
    EXPECT_EQ(sample("busgate_sender_up" + sender_, t0 + 600000 + 599999), 1);
    EXPECT_EQ(sample("busgate_sender_up" + sender_, t0 + 600000 + 600000), 0);
    // Long after the table retired the silent stream, it is still there, down.
    EXPECT_EQ(sample("busgate_sender_up" + sender_, t0 + 3600000000LL), 0);
    EXPECT_EQ(sample("busgate_events_total" + sender_, t0 + 3600000000LL), 2);
}

TEST_F(MetricsBoardTest, GivesTheLatestLifesignInBaseUnitsAndLossesByStage) {
    send({lifesign(1, 5000000), busdumptest::make_id_event(1)}, 1000);
    send({busdumptest::make_id_event(5)}, 2000);  // indices 2 to 4 lost by the card
    send({busdumptest::make_id_event(6)}, 3000);
    EXPECT_EQ(sample("busgate_host_cpu_load_ratio" + sender_, 3000), 0.125);
    EXPECT_EQ(sample("busgate_host_memory_total_bytes" + sender_, 3000), 2048.0 * 1024);
    EXPECT_EQ(sample("busgate_gateway_buffer_total_bytes" + sender_, 3000), 52429000);
    EXPECT_EQ(sample("busgate_gateway_lifesign_timestamp_seconds" + sender_, 3000), 5);
    EXPECT_EQ(sample("busgate_sender_lifesign_period_seconds" + sender_, 3000), 0.5) << "one lifesign: the default";
    const std::string labels = sender_.substr(0, sender_.size() - 1);
    EXPECT_EQ(sample("busgate_losses_total" + labels + ",stage=\"card\"}", 3000), 3);
    EXPECT_EQ(sample("busgate_losses_total" + labels + ",stage=\"network\"}", 3000), 0);
}

TEST_F(MetricsBoardTest, RenderedInStepsTheSnapshotIsHandedOverOnlyWhole) {
    send({lifesign(1, 5000000), busdumptest::make_id_event(1)}, 1000);
    board_.publish(table_, nullptr, 2000);
    const auto before = snapshot_->text(MetricsFamilies::Format::openmetrics);
    EXPECT_NE(before->find("busgate_events_total" + sender_ + " 1\n"), std::string::npos);

    // The gateway's new run on another port: a sender of its own until its lifesign names the card.
    send({busdumptest::make_id_event(2)}, 3000);
    send({busdumptest::make_id_event(1)}, 3000, 4001);
    ASSERT_EQ(table_.sources().size(), 2u);
    board_.begin(table_);
    EXPECT_TRUE(board_.step(table_, nullptr, 4000)) << "the first sender";
    EXPECT_EQ(snapshot_->text(MetricsFamilies::Format::openmetrics), before)
        << "a scrape meanwhile gets the previous snapshot";
    // Merged into the gateway before its turn came: passed over.
    send({lifesign(2, 5500000), busdumptest::make_id_event(2)}, 4000, 4001);
    ASSERT_EQ(table_.sources().size(), 1u);
    int steps = 0;
    while (board_.step(table_, nullptr, 4000)) ++steps;
    EXPECT_EQ(steps, 0);
    EXPECT_FALSE(board_.rendering());
    const auto after = snapshot_->text(MetricsFamilies::Format::openmetrics);
    EXPECT_NE(after->find("busgate_events_total" + sender_ + " 2\n"), std::string::npos)
        << "the first sender as its step saw it";
    EXPECT_EQ(after->find("port=\"4001\""), std::string::npos) << *after;
    EXPECT_NE(snapshot_->text(MetricsFamilies::Format::prometheus)->find("busgate_senders 2\n"), std::string::npos)
        << "as the table was at begin()";

    // Nothing changed since: the steps make what one rendering at once makes.
    board_.begin(table_);
    while (board_.step(table_, nullptr, 5000)) {
    }
    const MetricsFamilies whole = MetricsBoard::families(table_, nullptr, 5000);
    for (const auto format : {MetricsFamilies::Format::openmetrics, MetricsFamilies::Format::prometheus})
        EXPECT_EQ(*snapshot_->text(format), whole.text(format));
}

// The formats themselves are read by promtool and Prometheus in the integration test.
TEST(MetricsServer, ServesTheSnapshotInTheFormatAskedFor) {
    if (!busdump::MetricsServer::available()) GTEST_SKIP() << "this build has no HTTP server library";
    auto snapshot = std::make_shared<busdump::MetricsSnapshot>();
    busdump::MetricsServer server(snapshot);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    MetricsFamilies families;
    families.counter("busgate_test", "A test.", {}, 1);
    snapshot->publish(families);

    using testsupport::http_request;
    EXPECT_EQ(testsupport::http_body(http_request(server.port(), "GET", "/metrics").value_or("")),
              "# HELP busgate_test_total A test.\n# TYPE busgate_test_total counter\nbusgate_test_total 1\n");
    const std::string open =
        http_request(server.port(), "GET", "/metrics", "application/openmetrics-text;version=1.0.0").value_or("");
    EXPECT_NE(open.find(busdump::MetricsServer::OPENMETRICS_TYPE), std::string::npos) << open;
    EXPECT_EQ(testsupport::http_body(open),
              "# HELP busgate_test A test.\n# TYPE busgate_test counter\nbusgate_test_total 1\n# EOF\n");
    EXPECT_NE(http_request(server.port(), "GET", "/").value_or("").find(" 404 "), std::string::npos);
    EXPECT_NE(http_request(server.port(), "POST", "/metrics").value_or("").find(" 405 "), std::string::npos);

    // A second server on the same port is refused with the reason.
    busdump::MetricsServer second(snapshot);
    EXPECT_FALSE(second.start("127.0.0.1", server.port(), error));
    EXPECT_FALSE(error.empty());
    server.stop();
}

// The receiving thread replaces the snapshot while clients fetch it: every answer is one
// rendering whole, its two figures of the same rendering.
TEST(MetricsServer, ScrapesWhileSnapshotsAreReplacedGetWholeOnes) {
    if (!busdump::MetricsServer::available()) GTEST_SKIP() << "this build has no HTTP server library";
    auto snapshot = std::make_shared<busdump::MetricsSnapshot>();
    busdump::MetricsServer server(snapshot);
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    std::atomic<bool> done{false};
    std::thread receiving([&] {
        for (int rendering = 1; !done; ++rendering) {
            MetricsFamilies families;
            families.gauge("first", "", {}, rendering);
            families.gauge("last", "", {}, rendering);
            snapshot->publish(std::move(families));
        }
    });
    const auto scrape = [&] {
        return testsupport::http_body(testsupport::http_request(server.port(), "GET", "/metrics").value_or(""));
    };
    // The receiving thread may not have run yet on a loaded machine: its first rendering first.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (scrape().find("\nlast ") == std::string::npos && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int n = 0; n < 50; ++n) {
        const std::string body = scrape();
        const std::size_t first = body.find("\nfirst ");
        const std::size_t last = body.find("\nlast ");
        if (first == std::string::npos || last == std::string::npos) {
            ADD_FAILURE() << "a scrape after the first rendering without both figures: " << body;
            break;
        }
        EXPECT_EQ(std::strtol(body.c_str() + first + 7, nullptr, 10), std::strtol(body.c_str() + last + 6, nullptr, 10))
            << body;
    }
    done = true;
    receiving.join();
    server.stop();
}

}  // namespace
