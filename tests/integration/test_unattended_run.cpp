// busgated left running for a long time: a reader of its output that goes away, log rotation,
// signals that come together, a card held by another program, buffer sizes that make no sense.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

namespace {

using namespace std::chrono_literals;
using integration::busgated_path;
using integration::GatewayProcess;
using testsupport::ScratchDirectory;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_for_file_text(const std::string& path, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (read_file(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class UnattendedRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(busgated_path().empty()) << "BUSGATED is not set"; }

    // Datagrams go to the discard port of 127.0.0.1: nothing here reads them.
    std::vector<std::string> options(std::vector<std::string> extra = {}) const {
        std::vector<std::string> words{"-B", dir_ / "buffer.bin", "-a", "127.0.0.1", "-p", "9"};
        words.insert(words.end(), extra.begin(), extra.end());
        return words;
    }
    std::map<std::string, std::string> environment(const std::string& sim) const {
        return {{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ / "locks"}, {"NOTIFY_SOCKET", ""}};
    }
    std::string log() const { return dir_ / "busgated.log"; }

    ScratchDirectory dir_{"busgated-unattended"};
};

// busgated -s 50 | head -c 100: the dashboard's reader goes away, the gateway runs on.
TEST_F(UnattendedRun, ClosedOutputPipeIsIgnoredAndTheRunEndsCleanly) {
    constexpr std::size_t HEAD_BYTES = 100;
    GatewayProcess gateway(busgated_path(), options({"-s", "50", "-L", log()}), environment("1"), HEAD_BYTES);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (gateway.stdout_text().size() < HEAD_BYTES && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gateway.stdout_text().size(), HEAD_BYTES);
    // The dashboard writes every 50 ms into the closed pipe meanwhile.
    std::this_thread::sleep_for(1500ms);
    const int early = gateway.wait_exit(0ms);
    ASSERT_EQ(early, -1) << "the gateway ended with status " << early;
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    // An exit status, not a signal (a broken pipe would end it with 128 + 13).
    EXPECT_EQ(gateway.wait_exit(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "buffer.bin"));
    EXPECT_NE(read_file(log()).find("[event] SIGINT signal received\n"), std::string::npos) << read_file(log());
}

// Log rotation: the file is renamed away, SIGHUP, and the lines go on in a new file of the name.
TEST_F(UnattendedRun, HangupReopensTheLogFileAndTheRunGoesOn) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no hang-up signal; log rotation there renames nothing under a running writer";
#else
    GatewayProcess gateway(busgated_path(), options({"-L", log()}), environment("1"));
    ASSERT_TRUE(wait_for_file_text(log(), "app is running", 20s)) << read_file(log());
    const std::string rotated = dir_ / "busgated.log.1";
    std::filesystem::rename(log(), rotated);
    ASSERT_TRUE(gateway.send_signal(SIGHUP));
    ASSERT_TRUE(wait_for_file_text(log(), "[info]  log file reopened\n", 10s));
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    EXPECT_EQ(gateway.wait_exit(30s), 0);
    const std::string fresh = read_file(log());
    const std::string old = read_file(rotated);
    EXPECT_NE(fresh.find("[event] SIGINT signal received\n"), std::string::npos) << fresh;
    EXPECT_EQ(fresh.find("app is running"), std::string::npos) << fresh;
    EXPECT_NE(old.find("app is running"), std::string::npos) << old;
    EXPECT_EQ(old.find("SIGINT"), std::string::npos) << old;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "buffer.bin"));
#endif
}

// The log's folder is removed under the running gateway: the failed reopen is told where an
// operator still sees it (standard output, the journal), and the run goes on.
TEST_F(UnattendedRun, HangupWithTheLogFolderGoneIsToldOnStandardOutput) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no hang-up signal";
#else
    const std::string folder = dir_ / "logs";
    std::filesystem::create_directory(folder);
    const std::string log_file = folder + "/busgated.log";
    GatewayProcess gateway(busgated_path(), options({"-L", log_file}), environment("1"));
    ASSERT_TRUE(wait_for_file_text(log_file, "app is running", 20s)) << read_file(log_file);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(gateway.send_signal(SIGHUP));
    EXPECT_TRUE(gateway.wait_for_stdout("[error] cannot reopen the log file " + log_file + ": No such file or directory\n",
                                        10s)) << gateway.stdout_text();
    EXPECT_EQ(gateway.wait_exit(500ms), -1) << "the run goes on";
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    EXPECT_EQ(gateway.wait_exit(30s), 0);
#endif
}

TEST_F(UnattendedRun, TwoStopSignalsTogetherEachLeaveTheirLine) {
    if (!GatewayProcess::can_send(SIGTERM))
        GTEST_SKIP() << "SIGTERM is a console window closed; a child's console here has no window to close";
    GatewayProcess gateway(busgated_path(), options({"-L", log()}), environment("1"));
    ASSERT_TRUE(wait_for_file_text(log(), "app is running", 20s)) << read_file(log());
    ASSERT_TRUE(gateway.send_signal(SIGTERM));
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    EXPECT_EQ(gateway.wait_exit(30s), 0);
    const std::string text = read_file(log());
    EXPECT_EQ(count_of(text, "[event] SIGTERM signal received\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "[event] SIGINT signal received\n"), 1u) << text;
    // No order is asserted: when both are pending at once the kernel delivers the lower number
    // (SIGINT) first, whatever order they were sent in.
}

TEST_F(UnattendedRun, CardHeldByAnotherGatewayIsNamedAsSuch) {
    GatewayProcess first(busgated_path(), options({"-L", log()}), environment("1"));
    ASSERT_TRUE(wait_for_file_text(log(), "app is running", 20s)) << read_file(log());

    GatewayProcess second(busgated_path(), {"-B", dir_ / "second.bin", "-a", "127.0.0.1", "-p", "9"},
                          environment("1"));
    EXPECT_EQ(second.wait_exit(20s), 1);
    const std::string out = second.stdout_text();
    const auto not_found = out.find("[error] linkscope: device (idx=-1) not found\n");
    const auto held = out.find("[error] linkscope: device (idx=0) exists but is held by another program\n");
    EXPECT_NE(not_found, std::string::npos) << out;
    EXPECT_NE(held, std::string::npos) << out;
    EXPECT_LT(not_found, held) << out;

    GatewayProcess listing(busgated_path(), {"-l"}, environment("1"));
    EXPECT_EQ(listing.wait_exit(20s), 0);
    EXPECT_EQ(listing.stdout_text(),
              "no device found\nlinkscope: device (idx=0) exists but is held by another program\n");

    ASSERT_TRUE(first.send_signal(SIGINT));
    EXPECT_EQ(first.wait_exit(30s), 0);
    GatewayProcess free_listing(busgated_path(), {"-l"}, environment("1"));
    EXPECT_EQ(free_listing.wait_exit(20s), 0);
    EXPECT_EQ(free_listing.stdout_text().find("held by another program"), std::string::npos);
    EXPECT_NE(free_listing.stdout_text().find("*** Linkscope [1]"), std::string::npos);
}

// A typo in -B naming a user's file: one error line naming it, status 1, the file intact.
TEST_F(UnattendedRun, BufferPathNamingAUserFileIsRefused) {
    const std::string user_file = dir_ / "report.txt";
    const std::string content = "quarterly figures\n" + std::string(5000, 'q');
    std::ofstream(user_file, std::ios::binary) << content;
    GatewayProcess gateway(busgated_path(), {"-B", user_file, "-a", "127.0.0.1", "-p", "9"}, environment("1"));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    const std::string out = gateway.stdout_text();
    EXPECT_EQ(count_of(out, "[error]"), 1u) << out;
    EXPECT_NE(out.find("[error] cannot build the mapped event queue: buffer file " + user_file +
                       ": exists and is not a buffer file of busgated"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("app is running"), std::string::npos) << out;
    EXPECT_EQ(read_file(user_file), content);
}

// The buffer file of a gateway that was killed is replaced by the next run, and removed at its end.
TEST_F(UnattendedRun, BufferFileLeftByAKilledRunIsReplaced) {
    {
        GatewayProcess killed(busgated_path(), options({"-L", log()}), environment("1"));
        ASSERT_TRUE(wait_for_file_text(log(), "app is running", 20s)) << read_file(log());
        ASSERT_TRUE(killed.kill());
        EXPECT_EQ(killed.wait_exit(20s), GatewayProcess::KILLED_STATUS);
    }
    ASSERT_TRUE(std::filesystem::exists(dir_ / "buffer.bin"));
    GatewayProcess next(busgated_path(), options({"-L", dir_ / "next.log"}), environment("1"));
    ASSERT_TRUE(wait_for_file_text(dir_ / "next.log", "app is running", 20s)) << read_file(dir_ / "next.log");
    ASSERT_TRUE(next.send_signal(SIGINT));
    EXPECT_EQ(next.wait_exit(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "buffer.bin"));
}

// Two cards, two gateways, one -B: the second is refused while the first runs, the first's
// file is left to it. (A file that no running gateway holds is replaced: see the killed run.)
TEST_F(UnattendedRun, BufferFileOfARunningGatewayIsItsOwn) {
    const std::string buffer = dir_ / "buffer.bin";
    const auto gateway_on = [&](const char* index, const std::string& log_file) {
        return std::make_unique<GatewayProcess>(busgated_path(), options({"-i", index, "-L", log_file}),
                                                environment("cards=2"));
    };
    auto first = gateway_on("0", log());
    ASSERT_TRUE(wait_for_file_text(log(), "app is running", 20s)) << read_file(log());
    const auto size_before = std::filesystem::file_size(buffer);

    const std::string second_log = dir_ / "second.log";
    auto second = gateway_on("1", second_log);
    EXPECT_EQ(second->wait_exit(20s), 1);
    const std::string refused = read_file(second_log);
    EXPECT_EQ(count_of(refused, "[error]"), 1u) << refused;
    EXPECT_NE(refused.find("[error] cannot build the mapped event queue: buffer file " + buffer +
                           ": in use by another running gateway, refused and left as it is (give this gateway its "
                           "own, e.g. -B " + (dir_ / "buffer-2.bin") + ")\n"),
              std::string::npos) << refused;
    EXPECT_EQ(refused.find("app is running"), std::string::npos) << refused;
    EXPECT_TRUE(std::filesystem::exists(buffer)) << "the first gateway's file was removed";
    EXPECT_EQ(std::filesystem::file_size(buffer), size_before);
    EXPECT_EQ(first->wait_exit(0ms), -1) << "the first gateway ended";

    ASSERT_TRUE(first->send_signal(SIGINT));
    EXPECT_EQ(first->wait_exit(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(buffer));
    const std::string first_text = read_file(log());
    EXPECT_EQ(first_text.find("[error]"), std::string::npos) << first_text;

}

TEST_F(UnattendedRun, BufferSizeTooSmallSaysHowSmallItMayBe) {
    GatewayProcess gateway(busgated_path(), options({"-S", "100"}), environment("1"));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    const std::string out = gateway.stdout_text();
    EXPECT_NE(out.find("[error] cannot build the mapped event queue: a buffer size of 100 bytes is too small for "
                       "the queue: it must be at least "),
              std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "buffer.bin"));
}

TEST_F(UnattendedRun, BufferOfGigabytesIsToldInTheStartLog) {
    // The buffer's directory cannot be made (a file stands where it would go), so nothing is
    // reserved for real.
    std::ofstream(dir_ / "plain") << "a file\n";
    const std::string buffer = dir_ / "plain/busgated/buffer.bin";
    GatewayProcess gateway(busgated_path(), {"-B", buffer, "-a", "127.0.0.1", "-p", "9", "-S", "-1"}, environment("1"));
    EXPECT_EQ(gateway.wait_exit(20s), 1);
    const std::string out = gateway.stdout_text();
    EXPECT_NE(out.find("[warn]  the buffer file " + buffer + " reserves 4294967295 bytes (4.0 GiB) of disk (-S)\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("[error] cannot build the mapped event queue: "), std::string::npos) << out;
}

}  // namespace
