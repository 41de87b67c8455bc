// busgated as a console program: its texts, exit statuses and a run on a simulated card.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "busgate/version.h"
#include "tests/gateway/app/helptext.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

namespace {

using namespace std::chrono_literals;
using integration::busgated_path;
using integration::DatagramReceiver;
using integration::GatewayProcess;

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(busgated_path().empty()) << "BUSGATED is not set"; }

    std::string path(const std::string& name) const { return dir_ / name; }

    // Safe options (buffer in the temp dir, datagrams to the receiver) plus `extra`.
    std::vector<std::string> options(std::vector<std::string> extra = {}) const {
        std::vector<std::string> words{"-B", path("buffer.bin"), "-a", "127.0.0.1", "-p",
                                       std::to_string(receiver_.port())};
        words.insert(words.end(), extra.begin(), extra.end());
        return words;
    }

    std::map<std::string, std::string> environment(const std::string& sim) const {
        return {{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", path("locks")}, {"NOTIFY_SOCKET", ""}};
    }

    testsupport::ScratchDirectory dir_{"busgated-app"};
    DatagramReceiver receiver_;
};

TEST_F(ConsoleTest, VersionText) {
    GatewayProcess gateway(busgated_path(), {"-v"}, environment(""));
    EXPECT_EQ(gateway.wait_exit(20s), 0);
    EXPECT_EQ(gateway.stdout_text(), "busgated " BUSGATE_VERSION "\n");
}

TEST_F(ConsoleTest, HelpText) {
    GatewayProcess gateway(busgated_path(), {"--help"}, environment(""));
    EXPECT_EQ(gateway.wait_exit(20s), 0);
    EXPECT_EQ(gateway.stdout_text(), apptest::EXPECTED_HELP);
}

TEST_F(ConsoleTest, BadCommandLinePrintsHelpAndFails) {
    GatewayProcess gateway(busgated_path(), {"--buff_size", "10"}, environment(""));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    EXPECT_EQ(gateway.stdout_text(), apptest::EXPECTED_HELP);
    EXPECT_NE(gateway.stderr_text().find("buff_size"), std::string::npos) << gateway.stderr_text();
}

TEST_F(ConsoleTest, WithoutCardNothingIsBuilt) {
    GatewayProcess gateway(busgated_path(), options(), environment(""));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    const std::string out = gateway.stdout_text();
    EXPECT_NE(out.find("] [error] linkscope: device (idx=-1) not found\n"), std::string::npos) << out;
    EXPECT_NE(out.find(apptest::EXPECTED_HELP), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

TEST_F(ConsoleTest, ListsTheSimulatedCards) {
    GatewayProcess gateway(busgated_path(), {"-l"}, environment("cards=2"));
    EXPECT_EQ(gateway.wait_exit(20s), 0);
    const std::string out = gateway.stdout_text();
    EXPECT_NE(out.find("*** Linkscope [1]"), std::string::npos) << out;
    EXPECT_NE(out.find("*** Linkscope [2]"), std::string::npos) << out;
}

struct StopSignal {
    int number;
    const char* line;
};

void PrintTo(const StopSignal& c, std::ostream* os) { *os << c.number; }

class ConsoleStopTest : public ConsoleTest, public ::testing::WithParamInterface<StopSignal> {};

TEST_P(ConsoleStopTest, SignalEndsTheRunCleanly) {
    if (!GatewayProcess::can_send(GetParam().number))
        GTEST_SKIP() << "SIGTERM is a console window closed; a child's console here has no window to close";
    const std::string log = path("busgated.log");
    GatewayProcess gateway(busgated_path(), options({"-L", log}), environment("1"));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool events = false;
    while (!events && std::chrono::steady_clock::now() < deadline) {
        if (auto datagram = receiver_.receive(500ms)) {
            for (const auto& record : datagram->records) events |= record[0] == DatagramReceiver::EVENT_RECORD_TYPE;
        }
    }
    ASSERT_TRUE(events) << "no event reached the receiver";
    EXPECT_TRUE(std::filesystem::exists(path("buffer.bin")));
    ASSERT_TRUE(gateway.send_signal(GetParam().number));
    EXPECT_EQ(gateway.wait_exit(30s), 0);
    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[info]  app is running... press Ctrl + C to exit.\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("[event] ") + GetParam().line), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleStopTest,
                         ::testing::Values(StopSignal{SIGINT, "SIGINT signal received\n"},
                                           StopSignal{SIGTERM, "SIGTERM signal received\n"}),
                         [](const ::testing::TestParamInfo<StopSignal>& info) {
                             return info.param.number == SIGINT ? std::string("Sigint") : std::string("Sigterm");
                         });

TEST_F(ConsoleTest, IPv6DestinationEndsBeforeTheCardStarts) {
    GatewayProcess gateway(busgated_path(), {"-B", path("buffer.bin"), "-a", "::1", "-p", "9"}, environment("1"));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    const std::string out = gateway.stdout_text();
    EXPECT_NE(out.find("[error] cannot build the UDP sender: "), std::string::npos) << out;
    EXPECT_EQ(out.find("app is running"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(path("buffer.bin")));
}

}  // namespace
