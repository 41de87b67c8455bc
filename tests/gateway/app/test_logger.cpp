#include "gateway/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Captures what the logger writes to a stream of its own.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = std::tmpfile();
        ASSERT_NE(stream_, nullptr);
        logger::is_colorized = false;
    }
    void TearDown() override {
        logger::is_colorized = false;
        std::fclose(stream_);
    }
    std::string written() {
        std::fflush(stream_);
        std::rewind(stream_);
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, stream_)) > 0) text.append(buffer, n);
        return text;
    }
    FILE* stream_ = nullptr;
};

const std::string TIMESTAMP = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] )";

struct TagCase {
    int level;
    const char* tag;
};

void PrintTo(const TagCase& c, std::ostream* os) { *os << "level " << c.level; }

class LoggerTagTest : public LoggerTest, public ::testing::WithParamInterface<TagCase> {};

TEST_P(LoggerTagTest, LineHasTimestampTagAndMessage) {
    const TagCase c = GetParam();
    const int result = logger::print(stream_, c.level, "value %d\n", 42);
    EXPECT_EQ(result, 9);
    const std::string line = written();
    EXPECT_TRUE(std::regex_match(line, std::regex(TIMESTAMP + std::regex_replace(c.tag, std::regex(R"([\[\]?])"), R"(\$&)") +
                                                  " value 42\n")))
        << line;
}

INSTANTIATE_TEST_SUITE_P(Levels, LoggerTagTest,
                         ::testing::Values(TagCase{0, "[info] "}, TagCase{1, "[warn] "}, TagCase{2, "[error]"},
                                           TagCase{3, "[event]"}, TagCase{7, "[????] "}, TagCase{-1, "[????] "}));

TEST_F(LoggerTest, DebugWritesNothingAndReturnsZero) {
    EXPECT_EQ(logger::print(stream_, 4, "hidden %s\n", "text"), 0);
    EXPECT_EQ(written(), "");
}

TEST_F(LoggerTest, NoEscapeCharacterWithoutColour) {
    for (int level = -1; level <= 5; ++level) logger::print(stream_, level, "line\n");
    EXPECT_EQ(written().find('\033'), std::string::npos);
}

TEST_F(LoggerTest, ColouredInfoLineLayout) {
    logger::is_colorized = true;
    logger::print(stream_, 0, "hello\n");
    const std::string line = written();
    const std::regex layout("\033\\[0m\033\\[0;32m" + TIMESTAMP + "\033\\[0m\\[info\\]  hello\n\033\\[0m");
    EXPECT_TRUE(std::regex_match(line, layout)) << line;
}

struct ColourCase {
    int level;
    const char* sequence_and_tag;
};

void PrintTo(const ColourCase& c, std::ostream* os) { *os << "level " << c.level; }

class LoggerColourTest : public LoggerTest, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(LoggerColourTest, TagFollowsItsColour) {
    logger::is_colorized = true;
    logger::print(stream_, GetParam().level, "x\n");
    const std::string line = written();
    EXPECT_NE(line.find(std::string("\033[0m") + GetParam().sequence_and_tag), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Levels, LoggerColourTest,
                         ::testing::Values(ColourCase{1, "\033[0;33m[warn] "}, ColourCase{2, "\033[0;31m[error]"},
                                           ColourCase{3, "\033[0;36m[event]"}, ColourCase{9, "[????] "}));

TEST(LoggerTimestamp, MonthDayTimeAndMicroseconds) {
    std::tm t{};
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(logger::format_timestamp(t, 7), "01-02 09:05:03.000007");
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = 23;
    t.tm_min = 41;
    t.tm_sec = 7;
    EXPECT_EQ(logger::format_timestamp(t, 52311), "12-06 23:41:07.052311");
}

TEST_F(LoggerTest, LinesOfConcurrentThreadsNeverInterleave) {
    constexpr int THREADS = 4;
    constexpr int LINES = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < LINES; ++i) logger::print(stream_, t % 4, "thread %d line %d of a message\n", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream lines(written());
    const std::regex layout(TIMESTAMP + R"(\[(info\] |warn\] |error\]|event\]) thread \d line \d+ of a message)");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, layout)) << line;
    }
    EXPECT_EQ(count, THREADS * LINES);
}

}  // namespace
