// busgated with a buffer too small for its producer: records are refused and counted, the gateway
// keeps running and recovers once the sender has drained the queue; and a buffer directory on a
// filesystem too small or already full is refused at start, cleanly.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/eventrecord.h"
#include "common/stream/lifesignrecord.h"
#include "tests/integration/support/datagramreceiver.h"
#include "tests/integration/support/gatewayoutput.h"
#include "tests/integration/support/gatewayprocess.h"
#include "tests/support/scratchdirectory.h"
#include "tests/support/blockbuilder.h"

using namespace std::chrono_literals;
using integration::DatagramReceiver;
using integration::GatewayOutput;
using integration::GatewayProcess;

namespace {

constexpr std::size_t REPLAY_BLOCKS = 200;
constexpr uint32_t TINY_BUFFER = 64 << 10;

// Full blocks of identification frames with indices 1, 2, 3... without a gap; returns the event count.
uint64_t write_replay(const std::string& path, std::size_t blocks) {
    const auto frame = testsupport::make_identifier_frame(linkscope::CTRL_ID_DAT, 0x9080);
    std::vector<std::vector<uint8_t>> replay;
    uint64_t index = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        testsupport::BlockBuilder builder;
        while (builder.add_record(frame, index + 1)) ++index;
        replay.push_back(builder.build());
    }
    if (!testsupport::write_block_file(path, replay)) return 0;
    return index;
}

class BufferLimits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(integration::busgated_path().empty()) << "BUSGATED is not set"; }
    std::map<std::string, std::string> environment(const std::string& sim) const {
        return {{"LINKSCOPE_SIM", sim}, {"LINKSCOPE_LOCK_DIR", dir_ / "locks"}, {"NOTIFY_SOCKET", ""}};
    }

    testsupport::ScratchDirectory dir_{"busgate-limits"};
};

TEST_F(BufferLimits, FullSegmentDropsCountsAndRecovers) {
    const std::string replay = dir_ / "burst.bin";
    const uint64_t produced = write_replay(replay, REPLAY_BLOCKS);
    const std::string buffer = dir_ / "buffer.bin";
    DatagramReceiver receiver;
    GatewayProcess gateway(integration::busgated_path(),
                           {"-a", "127.0.0.1", "-p", std::to_string(receiver.port()), "-B", buffer, "-S",
                            std::to_string(TINY_BUFFER), "-M", "1"},
                           environment("replay=" + replay + ",speed=max"));

    uint64_t events = 0, last_index = 0, last_sequence = 0, sequence_gaps = 0;
    std::vector<uint32_t> lifesigns;
    std::vector<std::size_t> lifesign_after_events;
    // The burst is over in well under a second; the sender drains what the queue kept, then only
    // lifesigns follow. Read until several have come in a row after the last event.
    // Sanitizer builds on a busy machine take many times the few seconds of a plain run.
    const auto until = std::chrono::steady_clock::now() + 90s;
    while (std::chrono::steady_clock::now() < until) {
        auto d = receiver.receive(3s);
        ASSERT_TRUE(d) << "the stream stopped; stdout:\n" << gateway.stdout_text();
        ASSERT_EQ(d->record_count, 1u);
        sequence_gaps += d->sequence - last_sequence - 1;
        last_sequence = d->sequence;
        const auto& r = d->records[0];
        if (r[0] == DatagramReceiver::EVENT_RECORD_TYPE) {
            ASSERT_TRUE(linkscope::EventRecord::is_well_formed(r.data(), r.size()));
            const uint64_t index = linkscope::EventRecord(r.data(), r.size()).index();
            ASSERT_GT(index, last_index);
            last_index = index;
            ++events;
            continue;
        }
        ASSERT_EQ(r[0], DatagramReceiver::LIFESIGN_RECORD_TYPE);
        lifesigns.push_back(linkscope::load_be32(&r[lifesign::OFF_COUNTER]));
        lifesign_after_events.push_back(events);
        if (lifesigns.size() >= 6 && lifesign_after_events[lifesigns.size() - 6] == events) break;
    }
    ASSERT_GE(lifesigns.size(), 6u);
    EXPECT_TRUE(gateway.wait_for_stdout("since start)", 3s));
    // The drop report is paced; one more period lets the last one out.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(gateway.send_signal(SIGINT));
    const int status = gateway.wait_exit(5s);
    const std::string out = gateway.stdout_text();
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(gateway.stderr_text(), "");
    EXPECT_FALSE(std::filesystem::exists(buffer));

    // Recovered: the last lifesigns came one after the other, numbered without a gap.
    for (std::size_t i = lifesigns.size() - 5; i < lifesigns.size(); ++i) EXPECT_EQ(lifesigns[i], lifesigns[i - 1] + 1);

    // Every refused record is counted; a refused lifesign leaves a gap in their numbers. A
    // receiver slowed by a sanitizer may also lose datagrams, one record each: an event so lost
    // is in the sequence gaps, a lifesign in both those and the lifesign gaps.
    const GatewayOutput log(out);
    ASSERT_GE(log.buffer_full_lines(), 1u) << out;
    uint64_t lifesign_gaps = 0;
    for (std::size_t i = 1; i < lifesigns.size(); ++i) lifesign_gaps += lifesigns[i] - lifesigns[i - 1] - 1;
    lifesign_gaps += lifesigns.front() - 1;
    const uint64_t dropped = log.dropped_records();
    EXPECT_GT(dropped, 0u) << "a 64 KiB queue cannot hold a burst of " << produced;
    EXPECT_EQ(events + dropped - lifesign_gaps + sequence_gaps, produced)
        << events << " received, " << dropped << " dropped, " << lifesign_gaps << " lifesign gaps, "
        << sequence_gaps << " datagrams lost";
    std::printf("burst of %llu: %llu received, %llu dropped, %llu lifesign gaps, %llu datagrams lost, %zu lifesigns "
                "received\n",
                static_cast<unsigned long long>(produced), static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(lifesign_gaps),
                static_cast<unsigned long long>(sequence_gaps), lifesigns.size());
}

// Runs the gateway in a mount namespace of its own, with a `size` tmpfs at `mount_dir` that
// `fill` (a shell command) prepares; after its exit the shell prints what is left there.
class SmallFilesystem : public BufferLimits {
protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "a file system of the test's own needs a Linux mount namespace";
#endif
        BufferLimits::SetUp();
    }

    static constexpr int MOUNT_REFUSED = 77;

    int run(const std::string& size, const std::string& fill, uint32_t buffer_size, std::string* out) {
        const std::string mount_dir = dir_ / "small";
        std::filesystem::create_directories(mount_dir);
        const std::string script =
            "mount -t tmpfs -o size=" + size + " tmpfs \"$DIR\" || exit " + std::to_string(MOUNT_REFUSED) + "\n" +
            fill + "\n\"$BUSGATED\" -a 127.0.0.1 -p 9 -B \"$DIR/buf/buffer.bin\" -S " + std::to_string(buffer_size) +
            "\nstatus=$?\necho \"left: $(ls -A \"$DIR/buf\" 2>/dev/null)\"\nexit $status\n";
        auto env = environment("1");
        env["DIR"] = mount_dir;
        env["BUSGATED"] = integration::busgated_path();
        GatewayProcess shell("/usr/bin/unshare", {"-m", "sh", "-c", script}, env);
        const int status = shell.wait_exit(30s);
        *out = shell.stdout_text() + shell.stderr_text();
        return status;
    }
};

TEST_F(SmallFilesystem, BufferLargerThanTheFilesystemIsRefusedAtStart) {
    std::string out;
    const int status = run("1m", "", 4u << 20, &out);
    if (status == MOUNT_REFUSED || (status == 1 && out.find("unshare:") != std::string::npos))
        GTEST_SKIP() << "no private mount namespace here: " << out;
    EXPECT_EQ(status, 1) << out;  // an exit status, not a signal (SIGBUS would give 135)
    EXPECT_NE(out.find("[error] cannot build the mapped event queue:"), std::string::npos) << out;
    EXPECT_NE(out.find("disk too full for 4194304 bytes"), std::string::npos) << out;
    std::printf("%s", out.c_str());
    EXPECT_NE(out.find("left: \n"), std::string::npos) << "a buffer file stayed behind: " << out;
}

TEST_F(SmallFilesystem, FullFilesystemIsRefusedAtStart) {
    std::string out;
    // The filler takes every block; a buffer that an empty 1 MiB would hold no longer fits.
    const int status = run("1m", "head -c 2000000 /dev/zero > \"$DIR/filler\" 2>/dev/null; mkdir -p \"$DIR/buf\"",
                           TINY_BUFFER, &out);
    if (status == MOUNT_REFUSED || (status == 1 && out.find("unshare:") != std::string::npos))
        GTEST_SKIP() << "no private mount namespace here: " << out;
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("[error] cannot build the mapped event queue:"), std::string::npos) << out;
    EXPECT_NE(out.find("disk too full for 65536 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("left: \n"), std::string::npos) << "a buffer file stayed behind: " << out;
}

}  // namespace
