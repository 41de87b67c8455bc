// What busdump tells the MQTT broker about a sender: its topic before and after its card is
// known, online and offline by the lifesign period its stream shows, and numbered summaries of
// what each interval brought.
#include <gtest/gtest.h>

#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/mqttreporter.h"

using busdump::DatagramDecoder;
using busdump::DecodedDatagram;
using busdump::MqttReporter;
using busdump::Notice;
using busdump::SourceTable;
using busdumptest::put_be;

namespace {

constexpr int64_t SECOND = 1000000;

struct Message {
    std::string topic;
    std::string payload;
    bool retain;
};

class Reporter : public testing::Test {
protected:
    // A datagram from the one gateway at `at_us`: events, and a lifesign when `counter` is not 0.
    void send(int64_t at_us, uint32_t counter = 0, int64_t created_us = 0, int events = 1) {
        std::vector<std::vector<uint8_t>> records;
        for (int i = 0; i < events; ++i) records.push_back(busdumptest::make_id_event(++index_));
        if (counter) {
            auto lifesign = busdumptest::make_lifesign();
            put_be(lifesign, 7, 4, counter);
            put_be(lifesign, 11, 8, static_cast<uint64_t>(created_us));
            put_be(lifesign, 19, 4, 0x4C530001);
            records.push_back(lifesign);
        }
        const auto bytes = busdumptest::make_datagram(++sequence_, records);
        DecodedDatagram datagram = DatagramDecoder::decode(bytes.data(), bytes.size());
        std::vector<Notice> notices;
        reporter_.heard(table_.observe("10.0.0.1", 5000, datagram, at_us, notices), datagram, at_us);
    }

    // The messages since the previous call.
    std::vector<Message> taken() { return std::exchange(sent_, {}); }

    SourceTable table_;
    std::vector<Message> sent_;
    MqttReporter reporter_{"p", [this](const std::string& topic, const std::string& payload, bool retain, bool) {
                               sent_.push_back({topic, payload, retain});
                           }};
    uint64_t index_ = 0;
    uint64_t sequence_ = 0;
};

void expect_messages(const std::vector<Message>& seen, const std::vector<Message>& expected) {
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].topic, expected[i].topic) << i;
        EXPECT_EQ(seen[i].payload, expected[i].payload) << i;
        EXPECT_EQ(seen[i].retain, expected[i].retain) << i;
    }
}

}  // namespace

TEST_F(Reporter, AnUnnamedSenderMovesToItsSerialAndLeavesNoStateBehind) {
    send(SECOND);
    send(SECOND + 1000, 1, 0);
    send(SECOND + 2000, 2, 1);
    expect_messages(taken(), {{"p/unnamed/10.0.0.1:5000/state", "online", true},
                              {"p/unnamed/10.0.0.1:5000/state", "", true},  // removes the retained one
                              {"p/0x4c530001/state", "online", true}});
}

TEST_F(Reporter, OfflineAfterThreeLifesignPeriodsOfSilenceAndOnlineAgain) {
    // The stream's lifesigns come every 2 s (counter 1 to 3 over 4 s of creation time).
    send(0, 1, 10 * SECOND);
    send(SECOND, 3, 14 * SECOND);
    taken();
    const struct {
        int64_t at_us;
        const char* state;  // nullptr: none told
    } steps[] = {
        {SECOND + 3 * 2 * SECOND, nullptr},  // three periods exactly: not yet
        {SECOND + 3 * 2 * SECOND + 1, "offline"},
        {20 * SECOND, nullptr},  // told once
    };
    for (const auto& step : steps) {
        reporter_.check_silence(table_, step.at_us);
        const auto seen = taken();
        if (!step.state)
            EXPECT_TRUE(seen.empty()) << step.at_us;
        else
            expect_messages(seen, {{"p/0x4c530001/state", step.state, true}});
    }
    reporter_.summaries(table_, 21 * SECOND);
    EXPECT_TRUE(taken().empty()) << "no summary of an offline sender";
    send(22 * SECOND);
    expect_messages(taken(), {{"p/0x4c530001/state", "online", true}});
    reporter_.close();
    expect_messages(taken(), {{"p/0x4c530001/state", "offline", true}});
}

TEST_F(Reporter, SummariesAreNumberedAndCountOnlyTheirInterval) {
    send(0, 1, 0, 3);
    reporter_.summaries(table_, SECOND);
    send(SECOND + 1, 0, 0, 5);
    reporter_.summaries(table_, 2 * SECOND);
    const auto seen = taken();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].topic, "p/0x4c530001/summary");
    EXPECT_FALSE(seen[1].retain);
    for (const char* part : {"\"number\":1,", "\"events\":3,", "\"lifesigns\":1,", "\"seconds\":1,",
                             "\"losses\":{\"card\":0,\"gateway_queue\":0,\"gateway_send\":0,\"network\":0,"})
        EXPECT_NE(seen[1].payload.find(part), std::string::npos) << part << " in " << seen[1].payload;
    for (const char* part : {"\"number\":2,", "\"events\":5,", "\"lifesigns\":0,", "\"events_per_sec\":5,"})
        EXPECT_NE(seen[2].payload.find(part), std::string::npos) << part << " in " << seen[2].payload;
}
