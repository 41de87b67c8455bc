#include "gateway/app.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "common/driver/protocol.h"
#include "gateway/card/linkscope.h"
#include "gateway/service.h"
#include "tests/gateway/app/appfixture.h"

namespace {

using namespace std::chrono_literals;
using linkscope::LINKSCOPE_IOCTL_SET_SNIFFER;
using linkscope::LINKSCOPE_IOCTL_WAIT_EVENTS;

class AppTest : public apptest::AppFixture {
protected:
    void TearDown() override {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        AppFixture::TearDown();
    }

    // Runs app on a thread of its own, as the service thread would.
    std::future<int> start_app() {
        return std::async(std::launch::async, [] { return app(cfg); });
    }

    // Waits until the card's acquisition runs (a wait for events is pending).
    void wait_until_started() {
        ASSERT_TRUE(card_->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 10s));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (running.load() != 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        ASSERT_EQ(running.load(), 1);
    }

    static int finish(std::future<int>& run) {
        if (run.wait_for(20s) == std::future_status::ready) return run.get();
        handle_signal(SIGINT);  // let the run end so that the test can report
        run.wait();
        return -100;
    }
};

TEST_F(AppTest, WatchLoopWithoutCardHandle) { EXPECT_EQ(gateway_task(nullptr), -1); }

// The watch loop on a card handle of its own, logging to a temporary file.
class WatchLoopTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        flog = std::tmpfile();
        ASSERT_NE(flog, nullptr);
        clear_stop_request();
    }
    void TearDown() override {
        std::fclose(flog);
        flog = stdout;
        clear_stop_request();
        AppTest::TearDown();
    }
    std::string logged() {
        std::fflush(flog);
        std::rewind(flog);
        std::string text;
        char buffer[1024];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, flog)) > 0) text.append(buffer, n);
        return text;
    }
};

TEST_F(WatchLoopTest, EndsAtOnceOnAClosedCardHandle) {
    auto card = std::make_shared<Linkscope>(flog, nullptr);
    EXPECT_EQ(gateway_task(card), -1);
    EXPECT_EQ(running.load(), 0);
    card.reset();
    const std::string text = logged();
    EXPECT_NE(text.find("[info]  app is running... press Ctrl + C to exit.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[error] device connection is broken\n"), std::string::npos) << text;
}

TEST_F(WatchLoopTest, StopRequestedBeforeTheLoopBeganIsNotLost) {
    install_card();
    auto card = std::make_shared<Linkscope>(flog, nullptr);
    ASSERT_EQ(card->start(CARD_INDEX), 0);
    handle_signal(SIGTERM);  // arrives while the gateway is still starting
    auto loop = std::async(std::launch::async, [card] { return gateway_task(card); });
    const bool ended = loop.wait_for(10s) == std::future_status::ready;
    if (!ended) handle_signal(SIGINT);
    EXPECT_TRUE(ended);
    EXPECT_EQ(loop.get(), 0);
    card->stop();
    EXPECT_NE(logged().find("[event] SIGTERM signal received\n"), std::string::npos) << logged();
}

TEST_F(AppTest, NoCardEndsBeforeAnythingIsBuilt) {
    load();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app(cfg), 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Usage: busgated [OPTION]..."), std::string::npos);
    EXPECT_NE(log_text().find("[error] linkscope: device (idx=-1) not found\n"), std::string::npos) << log_text();
    EXPECT_FALSE(std::filesystem::exists(buffer_path()));
    EXPECT_EQ(cfg.log_file, nullptr);  // the record's strings are freed
    EXPECT_EQ(flog, stdout);
}

TEST_F(AppTest, LogFileIsAppended) {
    for (int run = 0; run < 2; ++run) {
        load({"-i", "7"});
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(app(cfg), 1);
        (void)::testing::internal::GetCapturedStdout();
    }
    const std::string log = log_text();
    const std::string line = "linkscope: device (idx=7) not found\n";
    ASSERT_NE(log.find(line), std::string::npos);
    EXPECT_NE(log.find(line), log.rfind(line)) << log;
}

// -L naming what cannot be the log: a file that does not open leaves the log on standard
// output, whose first line says so; the buffer file is refused before anything starts.
struct LogPathCase {
    const char* name;
    const char* log;         // under the test's directory; "." is the directory itself
    const char* first_line;  // after the timestamp
    bool run_goes_on;        // to the card probe
};

void PrintTo(const LogPathCase& c, std::ostream* os) { *os << c.name; }

class LogPathTest : public AppTest, public ::testing::WithParamInterface<LogPathCase> {};

TEST_P(LogPathTest, IsToldOnStandardOutput) {
    const LogPathCase& c = GetParam();
    const std::string log = std::string(c.log) == "." ? dir_.path() : path(c.log);
    load({"-L", log});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app(cfg), 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string first_line = out.substr(0, out.find('\n') + 1);
    std::string expected = c.first_line;
    expected.replace(expected.find('@'), 1, log);
    EXPECT_EQ(first_line.substr(first_line.find("] ") + 2, expected.size()), expected) << out;
    EXPECT_EQ(out.find("[error] linkscope: device (idx=-1) not found\n") != std::string::npos, c.run_goes_on) << out;
    EXPECT_FALSE(std::filesystem::exists(buffer_path()));
    EXPECT_EQ(flog, stdout);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LogPathTest,
    ::testing::Values(LogPathCase{"MissingFolder", "missing/dir/busgated.log", "[error] cannot open the log file @ (", true},
                      LogPathCase{"Directory", ".", "[error] cannot open the log file @ (", true},
                      LogPathCase{"BufferFile", "buffer.bin", "[error] the log file @ is the buffer file (-B ", false}),
    [](const ::testing::TestParamInfo<LogPathCase>& info) { return info.param.name; });

// A port the datagrams cannot carry, from the file: one error line, nothing opened or made.
TEST_F(AppTest, ConfigurationPortAbove65535StartsNothing) {
    install_card();
    const std::string conf = path("busgated.conf");
    std::ofstream(conf) << "UdpPort = 99999\n";
    load({"-C", conf});
    EXPECT_EQ(app(cfg), 1);
    const std::string log = log_text();
    EXPECT_NE(log.find("[error] configuration file " + conf + ": UdpPort 99999 is not a UDP port"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("[error]"), log.rfind("[error]")) << log;
    EXPECT_FALSE(card_->is_open());
    EXPECT_FALSE(std::filesystem::exists(buffer_path()));
}

TEST_F(AppTest, ConfigurationFileOverridesTheCommandLine) {
    const std::string conf = path("busgated.conf");
    std::ofstream(conf) << "DeviceIndex = 9\n";
    load({"-i", "1", "-C", conf});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app(cfg), 1);
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_NE(log_text().find("device (idx=9) not found"), std::string::npos) << log_text();
}

TEST_F(AppTest, StopSignalEndsTheRunWithStatusZero) {
    install_card();
    load();
    auto run = start_app();
    wait_until_started();
    EXPECT_EQ(cfg.index, CARD_INDEX);  // the probe wrote the card it found
    EXPECT_TRUE(std::filesystem::exists(buffer_path()));
    handle_signal(SIGINT);
    EXPECT_EQ(finish(run), 0);
    EXPECT_FALSE(card_->is_open());
    EXPECT_GE(card_->count(LINKSCOPE_IOCTL_SET_SNIFFER), 2u);  // on, then off in the teardown
    const std::string log = log_text();
    EXPECT_NE(log.find("[event] SIGINT signal received\n"), std::string::npos) << log;
    EXPECT_EQ(flog, stdout);
}

TEST_F(AppTest, LostCardEndsWithFailureStatus) {
    install_card();
    card_->fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS);  // the card starts, then never answers
    load();
    auto run = start_app();
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(log_text().find("[error] device connection is broken\n"), std::string::npos) << log_text();
}

TEST_F(AppTest, CardStartFailureIsReported) {
    install_card();
    card_->fail_request(LINKSCOPE_IOCTL_SET_SNIFFER);
    load();
    EXPECT_EQ(app(cfg), 1);
    const std::string log = log_text();
    EXPECT_NE(log.find("[error] error code: -1 - failure cause: "), std::string::npos) << log;
    EXPECT_EQ(log.find("app is running"), std::string::npos);
    EXPECT_FALSE(card_->is_open());
}

// Objects that cannot be built end the run with one line that says which and why.
struct BuildFailureCase {
    const char* name;
    std::vector<std::string> options;
    const char* line;
};

void PrintTo(const BuildFailureCase& c, std::ostream* os) { *os << c.name; }

class BuildFailureTest : public AppTest, public ::testing::WithParamInterface<BuildFailureCase> {};

TEST_P(BuildFailureTest, EndsWithStatusOneAndReleasesEverything) {
    install_card();
    std::ofstream(path("plainfile")) << "x";
    std::vector<std::string> options;
    for (const auto& option : GetParam().options) {
        options.push_back(option == "@BLOCKED" ? path("plainfile/buffer.bin") : option);
    }
    load(options);
    EXPECT_EQ(app(cfg), 1);
    const std::string log = log_text();
    EXPECT_NE(log.find(std::string("[error] ") + GetParam().line), std::string::npos) << log;
    EXPECT_EQ(card_->count(LINKSCOPE_IOCTL_SET_SNIFFER), 0u);  // the card was never started
    EXPECT_FALSE(card_->is_open());
    EXPECT_FALSE(std::filesystem::exists(buffer_path()));
    EXPECT_EQ(flog, stdout);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, BuildFailureTest,
    ::testing::Values(BuildFailureCase{"Queue", {"-B", "@BLOCKED"}, "cannot build the mapped event queue: "},
                      BuildFailureCase{"UdpSenderIPv6", {"-a", "::1"}, "cannot build the UDP sender: "}),
    [](const ::testing::TestParamInfo<BuildFailureCase>& info) { return info.param.name; });

}  // namespace
