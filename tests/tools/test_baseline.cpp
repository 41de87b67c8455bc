// Reading the commissioning baseline: what it keeps, and the files it refuses with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/busdump/baseline.h"

using busdump::Baseline;

TEST(Baseline, WrittenBaselineReadsBack) {
    Baseline written;
    written.senders[0x4c530001].stations = {{0, 0.0}, {4, 2.5}};
    written.senders[0x4c530001].identifiers[0x0201] = {740.5, 697, 1862};
    written.senders[7].identifiers[0x9080] = {20000, 20000, 20000};
    Baseline read;
    std::string error;
    ASSERT_TRUE(Baseline::parse(written.to_json(), read, error)) << error;
    ASSERT_EQ(read.senders.size(), 2u);
    EXPECT_EQ(read.senders[0x4c530001].stations, written.senders[0x4c530001].stations);
    const auto& periods = read.senders[0x4c530001].identifiers.at(0x0201);
    EXPECT_DOUBLE_EQ(periods.mean_us, 740.5);
    EXPECT_EQ(periods.min_us, 697u);
    EXPECT_EQ(periods.max_us, 1862u);
}

TEST(Baseline, RefusesWhatItCannotUse) {
    const std::string head = R"({"format":"busdump-baseline-1","senders":)";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "unexpected end"},
        {head + "[", "unexpected end"},
        {head + "[]} x", "bytes after"},
        {head + "[]}", "names no sender"},
        {R"({"format":"other","senders":[]})", "not a baseline"},
        {head + R"([{"stations":[],"identifiers":[]}]})", "card serial"},
        {head + R"([{"sn":1,"stations":[{"address":256,"error_rate_permille":0}],"identifiers":[]}]})", "address"},
        {head + R"([{"sn":1,"stations":[],"identifiers":[{"identifier":1,"mean_us":5}]}]})", "min_us"},
        {head + R"([{"sn":1.5,"stations":[],"identifiers":[]}]})", "card serial"},
        {std::string(40, '[') + std::string(40, ']'), "too deep"},
        {R"({"format":"busdump-baseline-1","format":"x"})", "twice"},
    };
    for (const auto& [text, reason] : cases) {
        Baseline out;
        std::string error;
        EXPECT_FALSE(Baseline::parse(text, out, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << " -> " << error;
    }
}
