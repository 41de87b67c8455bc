#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A double of the event log's calls: what was opened, written and closed.
struct Recorded {
    std::string source;
    std::vector<std::string> entries;
    int closes = 0;
    bool refuse_open = false;
};
Recorded recorded;

void* open_double(const char* source) {
    recorded.source = source;
    return recorded.refuse_open ? nullptr : &recorded;
}
bool report_double(void* log, const char* text) {
    EXPECT_EQ(log, &recorded);
    recorded.entries.push_back(text);
    return true;
}
void close_double(void* log) {
    EXPECT_EQ(log, &recorded);
    ++recorded.closes;
}
constexpr platform::EventLogCalls DOUBLE{open_double, report_double, close_double};

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { recorded = Recorded{}; }
};

TEST_F(EventLogTest, WritesEachMessageWithoutItsLineEndAndClosesOnce) {
    {
        platform::EventLog log("BusgateSvc", DOUBLE);
        EXPECT_TRUE(log.is_open());
        EXPECT_TRUE(log.report_error("linkscope: device (idx=-1) not found\n"));
        EXPECT_TRUE(log.report_error("device connection is broken\r\n"));
        EXPECT_TRUE(log.report_error("no line end"));
        EXPECT_EQ(recorded.closes, 0);
    }
    EXPECT_EQ(recorded.source, "BusgateSvc");
    EXPECT_EQ(recorded.entries, (std::vector<std::string>{"linkscope: device (idx=-1) not found",
                                                          "device connection is broken", "no line end"}));
    EXPECT_EQ(recorded.closes, 1);
}

TEST_F(EventLogTest, WithoutAnEventLogNothingIsWrittenAndNothingFails) {
    recorded.refuse_open = true;
    {
        platform::EventLog log("BusgateSvc", DOUBLE);
        EXPECT_FALSE(log.is_open());
        EXPECT_FALSE(log.report_error("cannot build the mapped event queue: No space left on device\n"));
    }
    EXPECT_TRUE(recorded.entries.empty());
    EXPECT_EQ(recorded.closes, 0);
}

TEST(EventLogText, ALongMessageIsCutToWhatOneEntryTakes) {
    const std::string long_message(platform::EventLog::MAX_TEXT + 100, 'x');
    EXPECT_EQ(platform::EventLog::entry_text(long_message.c_str()).size(), platform::EventLog::MAX_TEXT);
    EXPECT_EQ(platform::EventLog::entry_text(nullptr), "");
    EXPECT_EQ(platform::EventLog::entry_text("\n"), "");
}

// The platform's own calls: Windows (Wine too) opens the source and takes an entry; Linux has
// no such log and answers that nothing was written.
TEST(SystemEventLog, OpensWritesAndClosesOrIsAbsent) {
    platform::EventLog log("BusgateSvc");
#ifdef _WIN32
    EXPECT_TRUE(log.is_open());
    EXPECT_TRUE(log.report_error("busgate test entry\n"));
#else
    EXPECT_FALSE(log.is_open());
    EXPECT_FALSE(log.report_error("busgate test entry\n"));
#endif
}

}  // namespace
