#include "gateway/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// Whether `text` at `pos` holds "[mm-dd hh:mm:ss.uuuuuu] " (24 characters).
bool timestamp_at(const std::string& text, std::size_t pos) {
    const std::string shape = "[00-00 00:00:00.000000] ";
    if (text.size() < pos + shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[pos + i];
        if (shape[i] == '0' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
}
constexpr std::size_t TIMESTAMP_LENGTH = 24;

// A plain line: timestamp, then `rest`.
bool plain_line(const std::string& line, const std::string& rest) {
    return timestamp_at(line, 0) && line.substr(TIMESTAMP_LENGTH) == rest;
}

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
    EXPECT_TRUE(plain_line(line, std::string(c.tag) + " value 42\n")) << line;
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
    const std::string start = "\033[0m\033[0;32m";
    ASSERT_EQ(line.substr(0, start.size()), start) << line;
    EXPECT_TRUE(timestamp_at(line, start.size())) << line;
    EXPECT_EQ(line.substr(start.size() + TIMESTAMP_LENGTH), "\033[0m[info]  hello\n\033[0m") << line;
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
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(timestamp_at(line, 0)) << line;
        const std::string rest = line.substr(TIMESTAMP_LENGTH);
        const std::string tag = rest.substr(0, 8);
        ASSERT_TRUE(tag == "[info]  " || tag == "[warn]  " || tag == "[error] " || tag == "[event] ") << line;
        const std::string message = rest.substr(8);
        ASSERT_EQ(message.rfind("thread ", 0), 0u) << line;
        ASSERT_EQ(message.size() - message.find(" of a message"), std::string(" of a message").size()) << line;
        ASSERT_EQ(message.find("[", 0), std::string::npos) << line;
    }
    EXPECT_EQ(count, THREADS * LINES);
}

std::vector<std::string> sunk_messages;
void sink_message(const char* message) { sunk_messages.push_back(message); }

TEST_F(LoggerTest, OnlyErrorLinesReachTheErrorSinkAndTheStreamKeepsThemAll) {
    sunk_messages.clear();
    logger::set_error_sink(sink_message);
    for (const int level : {int{logger::INFO}, int{logger::WARN}, int{logger::EVENT}, int{logger::DEBUG}, 7})
        logger::print(stream_, level, "level %d\n", level);
    logger::print(stream_, logger::ERR, "linkscope: device (idx=%d) not found\n", -1);
    logger::print(nullptr, logger::ERR, "no stream: %s\n", "still told");
    logger::set_error_sink(nullptr);
    logger::print(stream_, logger::ERR, "after the sink\n");
    EXPECT_EQ(sunk_messages,
              (std::vector<std::string>{"linkscope: device (idx=-1) not found\n", "no stream: still told\n"}));
    const std::string text = written();
    EXPECT_NE(text.find("[error] linkscope: device (idx=-1) not found\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[error] after the sink\n"), std::string::npos) << text;
}

}  // namespace
