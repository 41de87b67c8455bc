// busgated -d under a service manager speaking the systemd notify protocol.
#include <gtest/gtest.h>

#include <signal.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

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

    std::unique_ptr<GatewayProcess> launch(const std::string& sim, const std::string& notify_socket) {
        return std::make_unique<GatewayProcess>(
            busgated_path(),
            std::vector<std::string>{"-d", "-B", path("buffer.bin"), "-a", "127.0.0.1", "-p",
                                     std::to_string(receiver_.port()), "-L", path("busgated.log")},
            std::map<std::string, std::string>{
                {"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", path("locks")}, {"NOTIFY_SOCKET", notify_socket}});
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
    EXPECT_EQ(listener_->next(30s), "STATUS=stopped (win32 exit code 0, service exit code 0)");
    EXPECT_EQ(gateway->wait_exit(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
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
