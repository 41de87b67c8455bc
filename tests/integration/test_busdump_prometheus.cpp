// busdump --metrics with the real Prometheus from Debian: two gateways on simulated cards (one
// of them losing frames on its card) send to busdump; promtool accepts busdump's exposition, and
// a Prometheus server of the test's own, scraping busdump every second, answers queries with the
// series of both gateways, their labels and the values busdump itself reports at exit.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/httpget.h"
#include "tests/support/scratchdirectory.h"
#include "tools/busdump/jsonreader.h"

using namespace std::chrono_literals;
using integration::GatewayProcess;

namespace {

namespace asio = boost::asio;

// Where Debian's prometheus package puts them.
const char* const PROMETHEUS = "/usr/bin/prometheus";
const char* const PROMTOOL = "/usr/bin/promtool";
const char* const FIRST = "0x4c530001";   // its card loses frames
const char* const SECOND = "0x4c530002";

template <class Protocol>
uint16_t free_port() {
    asio::io_context io;
    typename Protocol::socket socket(io, typename Protocol::endpoint(asio::ip::address_v4::loopback(), 0));
    return socket.local_endpoint().port();
}

std::string url_encoded(const std::string& text) {
    std::string out;
    char escaped[4];
    for (const unsigned char c : text) {
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : escaped;
    }
    return out;
}

// One series of an instant query's answer.
struct Series {
    std::map<std::string, std::string> labels;
    double value = 0;
};

// busdump's own totals of a sender by card serial, from the lines it prints at exit.
struct Totals {
    unsigned long long events = 0, frames_lost = 0;
};
std::map<std::string, Totals> totals_by_serial(const std::string& text) {
    std::map<std::string, Totals> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t sn = line.find(" sn ");
        if (line.rfind("totals from #", 0) != 0 || sn == std::string::npos) continue;
        const std::string serial = line.substr(sn + 4, 10);
        Totals t;
        const int read = std::sscanf(line.c_str() + line.find(": ") + 2,
                                     "%*u datagrams, %llu events, %*u lifesigns, %*u unknown, %*u malformed, %*u "
                                     "sequence gaps (%*u datagrams lost), %*u index gaps (%llu frames lost)",
                                     &t.events, &t.frames_lost);
        EXPECT_EQ(read, 2) << line;
        out[serial] = t;
    }
    return out;
}

class BusdumpPrometheus : public ::testing::Test {
protected:
    void SetUp() override {
        if (integration::busgated_path().empty()) GTEST_SKIP() << "BUSGATED names the gateway under test";
        if (!std::filesystem::exists(PROMETHEUS) || !std::filesystem::exists(PROMTOOL))
            GTEST_SKIP() << "Prometheus is not installed (scripts/setup installs Debian's prometheus package)";
    }

    std::unique_ptr<GatewayProcess> gateway(const std::string& sim, const std::string& card, uint16_t port) {
        const std::string dir = scratch_ / ("gateway" + card);
        return std::make_unique<GatewayProcess>(
            integration::busgated_path(),
            std::vector<std::string>{"-i", card, "-a", "127.0.0.1", "-p", std::to_string(port), "-B",
                                     dir + "/buffer.bin", "-S", "8388608"},
            std::map<std::string, std::string>{{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", scratch_ / "locks"}});
    }

    std::unique_ptr<GatewayProcess> prometheus(uint16_t metrics_port) {
        const std::string config = scratch_ / "prometheus.yml";
        std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                 "scrape_configs:\n  - job_name: busdump\n    static_configs:\n"
                                 "      - targets: ['127.0.0.1:"
                              << metrics_port << "']\n";
        return std::make_unique<GatewayProcess>(
            PROMETHEUS, std::vector<std::string>{"--config.file=" + config, "--storage.tsdb.path=" + (scratch_ / "tsdb"),
                                                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port_)});
    }

    // The series an instant query gives; empty while Prometheus has none (or is not up yet).
    std::vector<Series> query(const std::string& promql) const {
        const auto got = testsupport::http_request(prometheus_port_, "GET", "/api/v1/query?query=" + url_encoded(promql));
        busdump::JsonNode answer;
        std::string error;
        if (!got || !busdump::JsonReader::parse(testsupport::http_body(*got), answer, error)) return {};
        const busdump::JsonNode* data = answer.field("data");
        const busdump::JsonNode* result = data ? data->field("result") : nullptr;
        std::vector<Series> out;
        if (!result) return out;
        for (const busdump::JsonNode& item : result->items) {
            Series series;
            if (const busdump::JsonNode* metric = item.field("metric"))
                for (const auto& [name, value] : metric->fields) series.labels[name] = value.text;
            const busdump::JsonNode* value = item.field("value");
            if (value && value->items.size() == 2) series.value = std::strtod(value->items[1].text.c_str(), nullptr);
            out.push_back(series);
        }
        return out;
    }

    // Waits until the query gives `count` series.
    std::vector<Series> wait_for(const std::string& promql, std::size_t count) const {
        std::vector<Series> got;
        for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;) {
            got = query(promql);
            if (got.size() == count) return got;
            std::this_thread::sleep_for(250ms);
        }
        ADD_FAILURE() << promql << ": " << got.size() << " series, not the " << count << " awaited";
        return got;
    }

    testsupport::ScratchDirectory scratch_{"busdump-prometheus"};
    const uint16_t prometheus_port_ = free_port<asio::ip::tcp>();
};

TEST_F(BusdumpPrometheus, ScrapesTwoGatewaysWithTheirLabelsStationsAndLosses) {
    const uint16_t udp_port = free_port<asio::ip::udp>();
    const uint16_t metrics_port = free_port<asio::ip::tcp>();
    GatewayProcess dump(BUSDUMP_PATH, {"-b", "127.0.0.1", "-p", std::to_string(udp_port), "-s", "--metrics",
                                       "127.0.0.1:" + std::to_string(metrics_port)});
    auto server = prometheus(metrics_port);
    // A slow bus keeps a loaded machine from dropping datagrams; the first card loses frames.
    auto first = gateway("devices=1+2,bitrate=500000,loss=0.002", "0", udp_port);
    auto second = gateway("devices=1+2,bitrate=500000", "1", udp_port);

    // Both gateways up, as Prometheus saw them.
    const auto up = wait_for("busgate_sender_up == 1", 2);
    std::vector<std::string> serials;
    for (const Series& s : up) {
        EXPECT_EQ(s.labels.at("address"), "127.0.0.1");
        EXPECT_NE(s.labels.at("port"), std::to_string(udp_port)) << "the gateway's own port";
        EXPECT_EQ(s.labels.at("job"), "busdump");
        serials.push_back(s.labels.at("serial"));
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{FIRST, SECOND}));

    // The exposition as plain clients get it passes promtool's checks.
    const std::string text = testsupport::http_body(testsupport::http_request(metrics_port, "GET", "/metrics").value_or(""));
    EXPECT_NE(text.find("busgate_station_frames_total"), std::string::npos) << text;
    std::ofstream(scratch_ / "metrics.txt") << text;
    const std::string check = std::string(PROMTOOL) + " check metrics < " + (scratch_ / "metrics.txt") + " > " +
                              (scratch_ / "promtool.txt") + " 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << std::ifstream(scratch_ / "promtool.txt").rdbuf();

    std::this_thread::sleep_for(2s);
    first->send_signal(SIGINT);
    second->send_signal(SIGINT);
    EXPECT_EQ(first->wait_exit(5s), 0);
    EXPECT_EQ(second->wait_exit(5s), 0);
    // Silent for three lifesign periods: down, and still there. The scrape that saw them down
    // holds their final counts, which must be what busdump reports at exit.
    wait_for("busgate_sender_up == 0", 2);
    const auto counted = wait_for("busgate_events_total", 2);
    const auto lost = wait_for("busgate_losses_total", 12);
    const auto frames = wait_for("busgate_station_frames_total{station=\"3\"}", 2);
    const auto absent = wait_for("busgate_station_present{station=\"15\"}", 2);
    dump.send_signal(SIGINT);
    ASSERT_EQ(dump.wait_exit(10s), 0) << dump.stderr_text();
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(20s), 0) << server->stderr_text();

    const auto totals = totals_by_serial(dump.stdout_text());
    ASSERT_EQ(totals.size(), 2u) << dump.stdout_text();
    for (const Series& s : counted) {
        const Totals& t = totals.at(s.labels.at("serial"));
        EXPECT_GT(s.value, 1000) << s.labels.at("serial");
        EXPECT_EQ(s.value, t.events) << s.labels.at("serial");
    }
    for (const Series& s : lost) {
        const std::string& serial = s.labels.at("serial");
        const std::string& stage = s.labels.at("stage");
        // The card's losses of the first gateway, and nothing else lost on a quiet loopback.
        EXPECT_EQ(s.value, stage == "card" ? totals.at(serial).frames_lost : 0) << serial << " " << stage;
        EXPECT_TRUE(stage != "card" || serial != FIRST || s.value > 0) << "the simulated card's losses";
    }
    EXPECT_EQ(totals.at(SECOND).frames_lost, 0u);
    for (const Series& s : frames) EXPECT_GT(s.value, 50) << "station 3 answers in every macrocycle";
    for (const Series& s : absent) EXPECT_EQ(s.value, 0) << "the simulated bus's last stations never answer";
}

}  // namespace
