// busgated -d under a service manager speaking the systemd notify protocol.
#include <gtest/gtest.h>

#include <signal.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <regex>
#include <vector>

#include "tests/gateway/app/notifylistener.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"

namespace {

using namespace std::chrono_literals;
using integration::busgated_path;
using integration::DatagramReceiver;
using integration::GatewayProcess;

class ServiceNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(busgated_path().empty()) << "BUSGATED is not set";
        dir_ = std::filesystem::temp_directory_path() / ("busgated-svc-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        listener_ = std::make_unique<apptest::NotifyListener>(path("notify.sock"));
    }
    void TearDown() override {
        listener_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::unique_ptr<GatewayProcess> launch(const std::string& sim, const std::string& notify_socket,
                                           std::map<std::string, std::string> extra_env = {}) {
        std::map<std::string, std::string> env{
            {"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", path("locks")}, {"NOTIFY_SOCKET", notify_socket}};
        env.insert(extra_env.begin(), extra_env.end());
        return std::make_unique<GatewayProcess>(
            busgated_path(),
            std::vector<std::string>{"-d", "-B", path("buffer.bin"), "-a", "127.0.0.1", "-p",
                                     std::to_string(receiver_.port()), "-L", path("busgated.log")},
            env);
    }

    std::filesystem::path dir_;
    DatagramReceiver receiver_;
    std::unique_ptr<apptest::NotifyListener> listener_;
};

TEST_F(ServiceNotifyTest, ReadyAfterTheCardStartsAndStoppedAfterSigterm) {
    auto gateway = launch("1", listener_->path());
    EXPECT_EQ(listener_->next(20s), "STATUS=starting");
    EXPECT_EQ(listener_->next(20s), "READY=1");
    // The card runs: events flow.
    bool events = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!events && std::chrono::steady_clock::now() < deadline) {
        if (auto datagram = receiver_.receive(500ms)) {
            for (const auto& record : datagram->records) events |= record[0] == DatagramReceiver::EVENT_RECORD_TYPE;
        }
    }
    EXPECT_TRUE(events);
    ASSERT_TRUE(gateway->send_signal(SIGTERM));
    // The live summaries that came meanwhile, then the stop pending report, then stopped.
    std::vector<std::string> messages = listener_->until("STATUS=stopped", 30s);
    while (!messages.empty() && messages.front().rfind("STATUS=", 0) == 0 &&
           messages.front().find("frames/s") != std::string::npos)
        messages.erase(messages.begin());
    EXPECT_EQ(messages, (std::vector<std::string>{"STOPPING=1", "STATUS=stopped (win32 exit code 0, service exit code 0)"}));
    EXPECT_EQ(gateway->wait_exit(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

// Under a unit with WatchdogSec=: a sign of life from the watch loop, and a live STATUS= line.
TEST_F(ServiceNotifyTest, WhileRunningALiveStatusAndWatchdogSignsOfLife) {
    auto gateway = launch("1", listener_->path(), {{"WATCHDOG_USEC", "1000000"}});
    EXPECT_EQ(listener_->next(20s), "STATUS=starting");
    EXPECT_EQ(listener_->next(20s), "READY=1");
    std::vector<std::string> statuses;
    int alive = 0;
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string message = listener_->next(500ms);
        if (message == "WATCHDOG=1") ++alive;
        if (message.rfind("STATUS=", 0) == 0) statuses.push_back(message);
    }
    // Every half second for about eight seconds.
    EXPECT_GE(alive, 8);
    ASSERT_GE(statuses.size(), 2u);
    const std::regex live("STATUS=[0-9]+ frames/s, [0-9]+ datagrams/s, [0-9]+ records dropped, link (up|down)");
    for (const std::string& status : statuses) EXPECT_TRUE(std::regex_match(status, live)) << status;
    // Once the bus runs, the later summaries show it.
    EXPECT_NE(statuses.back().find("link up"), std::string::npos) << statuses.back();
    EXPECT_EQ(statuses.back().find("STATUS=0 frames/s"), std::string::npos) << statuses.back();
    ASSERT_TRUE(gateway->send_signal(SIGTERM));
    const std::vector<std::string> end = listener_->until("STATUS=stopped", 30s);
    ASSERT_FALSE(end.empty());
    EXPECT_NE(std::find(end.begin(), end.end(), "STOPPING=1"), end.end());
    EXPECT_EQ(gateway->wait_exit(30s), 0);
}

TEST_F(ServiceNotifyTest, WithoutCardStoppedWithTheFailureCodes) {
    auto gateway = launch("", listener_->path());
    EXPECT_EQ(listener_->next(20s), "STATUS=starting");
    EXPECT_EQ(listener_->next(20s), "STATUS=stopped (win32 exit code 1066, service exit code 1)\nERRNO=1");
    EXPECT_EQ(gateway->wait_exit(20s), 1);
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

TEST_F(ServiceNotifyTest, WithoutServiceManagerExitsSilently) {
    auto gateway = launch("1", "");
    EXPECT_EQ(gateway->wait_exit(20s), 0);
    EXPECT_EQ(gateway->stdout_text(), "");
    EXPECT_EQ(gateway->stderr_text(), "");
    EXPECT_EQ(listener_->next(100ms), "");
    EXPECT_FALSE(std::filesystem::exists(path("busgated.log")));
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

}  // namespace
