// What busdump tells the MQTT broker about a sender: its topic before and after its card is
// known, online and offline by the lifesign period its stream shows, and numbered summaries of
// what each interval brought.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/mqttreporter.h"

using busdump::DecodedDatagram;
using busdumptest::put_be;

namespace {

constexpr int64_t SECOND = 1000000;
using Message = std::tuple<std::string, std::string, bool>;  // topic, payload, retained
using Messages = std::vector<Message>;

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
        DecodedDatagram datagram = busdump::DatagramDecoder::decode(bytes.data(), bytes.size());
        std::vector<busdump::Notice> notices;
        reporter_.heard(table_.observe("10.0.0.1", 5000, datagram, at_us, notices), at_us);
    }

    // The messages since the previous call.
    Messages taken() { return std::exchange(sent_, {}); }

    busdump::SourceTable table_;
    Messages sent_;
    busdump::MqttReporter reporter_{"p", [this](const std::string& topic, const std::string& payload, bool retain, bool) {
                                        sent_.emplace_back(topic, payload, retain);
                                    }};
    uint64_t index_ = 0;
    uint64_t sequence_ = 0;
};

}  // namespace

TEST_F(Reporter, AnUnnamedSenderMovesToItsSerialAndLeavesNoStateBehind) {
    send(SECOND);
    send(SECOND + 1000, 1, 0);
    send(SECOND + 2000, 2, 1);
    EXPECT_EQ(taken(), (Messages{{"p/unnamed/10.0.0.1:5000/state", "online", true},
                                 {"p/unnamed/10.0.0.1:5000/state", "", true},  // removes the retained one
                                 {"p/0x4c530001/state", "online", true}}));
}

TEST_F(Reporter, OfflineAfterThreeLifesignPeriodsOfSilenceAndOnlineAgain) {
    // The stream's lifesigns come every 2 s (counter 1 to 3 over 4 s of creation time).
    send(0, 1, 10 * SECOND);
    send(SECOND, 3, 14 * SECOND);
    taken();
    reporter_.check_silence(table_, SECOND + 3 * 2 * SECOND - 1);  // not quite three periods: not yet
    EXPECT_EQ(taken(), Messages{});
    reporter_.check_silence(table_, SECOND + 3 * 2 * SECOND);  // silent for three periods, as the metrics tell
    reporter_.check_silence(table_, 20 * SECOND);  // told once
    EXPECT_EQ(taken(), (Messages{{"p/0x4c530001/state", "offline", true}}));
    reporter_.summaries(table_, 21 * SECOND);
    EXPECT_EQ(taken(), Messages{}) << "no summary of an offline sender";
    send(22 * SECOND);
    reporter_.close();
    EXPECT_EQ(taken(), (Messages{{"p/0x4c530001/state", "online", true}, {"p/0x4c530001/state", "offline", true}}));
}

TEST_F(Reporter, SummariesAreNumberedAndCountOnlyTheirInterval) {
    send(0, 1, 0, 3);
    reporter_.summaries(table_, SECOND);
    send(SECOND + 1, 0, 0, 5);
    reporter_.summaries(table_, 2 * SECOND);
    const Messages seen = taken();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::get<0>(seen[1]), "p/0x4c530001/summary");
    EXPECT_FALSE(std::get<2>(seen[1]));
    for (const char* part : {"\"number\":1,", "\"events\":3,", "\"lifesigns\":1,", "\"seconds\":1,",
                             "\"losses\":{\"card\":0,\"gateway_queue\":0,\"gateway_send\":0,\"network\":0,"})
        EXPECT_NE(std::get<1>(seen[1]).find(part), std::string::npos) << part << " in " << std::get<1>(seen[1]);
    for (const char* part : {"\"number\":2,", "\"events\":5,", "\"lifesigns\":0,", "\"events_per_sec\":5,"})
        EXPECT_NE(std::get<1>(seen[2]).find(part), std::string::npos) << part << " in " << std::get<1>(seen[2]);
}
