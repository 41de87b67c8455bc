#include "gateway/servicereporter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = ServiceReporter::Clock;

TEST(ServiceReporter, SummaryEveryFiveSecondsAndSignOfLifeEveryHalfInterval) {
    ServiceReporter reporter(2s);
    const Clock::time_point t0 = Clock::now();
    int summaries = 0, alive = 0;
    // The watch loop's rounds of 100 ms for 10.05 s.
    for (int round = 0; round <= 100; ++round) {
        const ServiceReporter::Due due = reporter.tick(t0 + round * 100ms);
        if (round == 0) {
            EXPECT_TRUE(due.summary);
            EXPECT_TRUE(due.alive);
        }
        summaries += due.summary;
        alive += due.alive;
    }
    EXPECT_EQ(summaries, 3);  // at 0, 5 and 10 s
    EXPECT_EQ(alive, 11);     // every second
}

TEST(ServiceReporter, NoWatchdogNoSignOfLife) {
    ServiceReporter reporter(0us);
    const Clock::time_point t0 = Clock::now();
    for (int round = 0; round < 100; ++round) EXPECT_FALSE(reporter.tick(t0 + round * 100ms).alive);
}

TEST(ServiceReporter, SummaryTextCarriesRatesDropsAndTheLink) {
    FIPStats card;
    UDPStats udp;
    card.frame_rcvd_cnt_per_sec = 2301;
    udp.pkt_sent_cnt_per_sec = 3;
    udp.is_active = true;
    EXPECT_EQ(ServiceReporter::summary_text(card, udp, 0), "2301 frames/s, 3 datagrams/s, 0 records dropped, link up");
    udp.is_active = false;
    card.frame_rcvd_cnt_per_sec = 0;
    udp.pkt_sent_cnt_per_sec = 0;
    EXPECT_EQ(ServiceReporter::summary_text(card, udp, 12345678901ull),
              "0 frames/s, 0 datagrams/s, 12345678901 records dropped, link down");
}

}  // namespace
