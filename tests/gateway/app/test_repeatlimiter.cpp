#include "gateway/repeatlimiter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "gateway/logger.h"

namespace {

using namespace std::chrono_literals;
using Clock = RepeatLimiter::Clock;

class RepeatLimiterTest : public ::testing::Test {
protected:
    void SetUp() override { log_ = std::tmpfile(); ASSERT_NE(log_, nullptr); }
    void TearDown() override { std::fclose(log_); }
    std::string log_text() {
        std::fflush(log_);
        std::rewind(log_);
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, log_)) > 0) text.append(buffer, n);
        std::fseek(log_, 0, SEEK_END);
        return text;
    }
    FILE* log_ = nullptr;
};

TEST_F(RepeatLimiterTest, AdmitsAFewASecondThenCountsTheRest) {
    RepeatLimiter limiter(log_, logger::WARN, "fip frame loss", 3);
    const Clock::time_point t0 = Clock::now();
    int admitted = 0;
    for (int i = 0; i < 10; ++i) admitted += limiter.admit(t0 + i * 10ms);
    EXPECT_EQ(admitted, 3);
    EXPECT_EQ(limiter.left_out_total(), 7u);
    limiter.summarize();
    // A new second admits again, and the summary covers only what came since the last one.
    EXPECT_TRUE(limiter.admit(t0 + 1000ms));
    EXPECT_TRUE(limiter.admit(t0 + 1001ms));
    EXPECT_TRUE(limiter.admit(t0 + 1002ms));
    EXPECT_FALSE(limiter.admit(t0 + 1003ms));
    limiter.summarize();
    limiter.summarize();  // nothing left out since: no line
    EXPECT_EQ(limiter.left_out_total(), 8u);
    const std::string log = log_text();
    EXPECT_NE(log.find("] [warn]  fip frame loss: 7 more left out in the last second\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] [warn]  fip frame loss: 1 more left out in the last second\n"), std::string::npos) << log;
    std::size_t summaries = 0;
    for (auto at = log.find("left out"); at != std::string::npos; at = log.find("left out", at + 1)) ++summaries;
    EXPECT_EQ(summaries, 2u) << log;
}

TEST_F(RepeatLimiterTest, WindowRunsFromTheFirstLineNotFromTheClock) {
    RepeatLimiter limiter(log_, logger::ERR, "impossible to send on udp", 2);
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(limiter.admit(t0));
    EXPECT_TRUE(limiter.admit(t0 + 900ms));
    EXPECT_FALSE(limiter.admit(t0 + 999ms));
    EXPECT_TRUE(limiter.admit(t0 + 1000ms));
    limiter.summarize();
    EXPECT_NE(log_text().find("[error] impossible to send on udp: 1 more left out in the last second\n"),
              std::string::npos);
}

TEST_F(RepeatLimiterTest, QuietKindWritesNoSummary) {
    RepeatLimiter limiter(log_, logger::WARN, "x");
    for (unsigned i = 0; i < RepeatLimiter::DEFAULT_LINES_PER_SECOND; ++i) EXPECT_TRUE(limiter.admit());
    limiter.summarize();
    EXPECT_EQ(log_text(), "");
}

}  // namespace
