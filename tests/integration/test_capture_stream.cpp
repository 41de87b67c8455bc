// busgated on a simulated card: what leaves on 127.0.0.1 and how a run ends.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"

using namespace std::chrono_literals;
using integration::DatagramReceiver;
using integration::GatewayProcess;

namespace {

class CaptureRun : public ::testing::Test {
protected:
    std::unique_ptr<GatewayProcess> launch(const std::string& sim) {
        return std::make_unique<GatewayProcess>(
            integration::busgated_path(),
            std::vector<std::string>{"-a", "127.0.0.1", "-p", std::to_string(receiver_.port()), "-B", buffer_, "-S",
                                     "8388608"},
            std::map<std::string, std::string>{{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ + "/locks"}});
    }

    DatagramReceiver receiver_;
    testsupport::ScratchDirectory scratch_{"busgate-capture"};
    const std::string dir_ = scratch_.path();
    const std::string buffer_ = dir_ + "/buf/buffer.bin";
};

TEST_F(CaptureRun, ForwardsEveryEventInOrderAndStopsOnSigint) {
    auto gateway = launch("1");
    std::vector<std::vector<uint8_t>> events;
    uint64_t expected_sequence = 1;
    std::size_t lifesigns = 0;
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < until) {
        auto d = receiver_.receive(3s);
        ASSERT_TRUE(d) << "no datagram; stdout:\n" << gateway->stdout_text() << "\nstderr:\n" << gateway->stderr_text();
        EXPECT_EQ(d->sequence, expected_sequence++);
        for (auto& record : d->records) {
            if (record[0] == DatagramReceiver::EVENT_RECORD_TYPE)
                events.push_back(std::move(record));
            else if (record[0] == DatagramReceiver::LIFESIGN_RECORD_TYPE)
                ++lifesigns;
        }
    }
    EXPECT_EQ(receiver_.malformed(), 0u) << receiver_.last_error();
    ASSERT_GT(events.size(), 100u);
    EXPECT_GE(lifesigns, 1u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& bytes = events[i];
        ASSERT_TRUE(linkscope::EventRecord::is_well_formed(bytes.data(), bytes.size())) << i;
        const linkscope::EventRecord record(bytes.data(), bytes.size());
        ASSERT_EQ(record.index(), i + 1) << "indices must run on without a gap";
        // The bytes arrive as the card delivered them: the frame check still holds.
        EXPECT_TRUE(linkscope::FrameCheck::frame_is_correct(record.fcs_mode(), record.frame(), record.frame_length()))
            << "record " << i;
    }
    EXPECT_TRUE(std::filesystem::exists(buffer_));

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(gateway->send_signal(SIGINT));
    const int status = gateway->wait_exit(5s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_EQ(status, 0) << gateway->stdout_text();
    EXPECT_LT(took, 1500ms);
    EXPECT_FALSE(std::filesystem::exists(buffer_));
    EXPECT_NE(gateway->stdout_text().find("SIGINT signal received"), std::string::npos);
}

TEST_F(CaptureRun, UnpluggedCardEndsTheRunWithFailure) {
    auto gateway = launch("unplug_ms=400");
    const int status = gateway->wait_exit(10s);
    const std::string out = gateway->stdout_text();
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("[error] device connection is broken\n"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(buffer_));
}

}  // namespace
