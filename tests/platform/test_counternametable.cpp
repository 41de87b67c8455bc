// The English counter-name table: parsing crafted tables, the "more data" retries of both
// readers and where they stop.
#include "platform/counternametable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using platform::CounterNameTable;

std::string table_bytes(const std::vector<std::string>& strings) {
    std::string bytes;
    for (const std::string& s : strings) bytes += s + '\0';
    return bytes;
}

CounterNameTable parse(const std::string& bytes) {
    return platform::parse_counter_name_table(bytes.data(), bytes.size());
}

TEST(CounterNameTable, ParsesPairsAndKeepsTheFirstIndexOfARepeatedName) {
    const CounterNameTable table =
        parse(table_bytes({"1", "1847", "2", "System", "238", "Processor", "6", "% Processor Time", "9000", "System"}) +
              std::string(1, '\0'));
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table.at("Processor"), "238");
    EXPECT_EQ(table.at("% Processor Time"), "6");
    EXPECT_EQ(table.at("System"), "2");
    EXPECT_EQ(table.at("1847"), "1");
}

TEST(CounterNameTable, StopsAtAnEmptyIndexAndAtTheEndOfTheData) {
    // An empty string where an index belongs ends the table, whatever follows.
    EXPECT_EQ(parse(table_bytes({"2", "System", "", "238", "Processor"})).size(), 1u);
    EXPECT_TRUE(parse(std::string(64, '\0')).empty());
    EXPECT_TRUE(parse("").empty());
    // An index with no name before the end, and strings cut off by the end, add nothing.
    EXPECT_EQ(parse(table_bytes({"2", "System", "238"})).size(), 1u);
    EXPECT_EQ(parse(table_bytes({"2", "System", "238"}) + "Proc").size(), 1u);
    EXPECT_TRUE(parse("238").empty());
}

TEST(CounterNameTable, NeverReadsPastTheGivenSize) {
    // The name's terminating NUL lies beyond the size given: the pair is not taken.
    const std::string bytes = table_bytes({"2", "System", "238", "Processor"});
    const CounterNameTable table = platform::parse_counter_name_table(bytes.data(), bytes.size() - 1);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.count("Processor"), 0u);
}

// A registry that holds `content` and answers "more data" while the buffer is too small,
// reporting `answered_size` (the true size, or nonsense as some keys do).
struct FakeRegistry {
    explicit FakeRegistry(std::string table) : content(std::move(table)) {}
    std::string content;
    long answered_size = -1;  // -1: the true size
    std::vector<uint32_t> sizes_asked;
    long final_status = 0;

    long operator()(char* buffer, uint32_t* size) {
        sizes_asked.push_back(*size);
        if (*size < content.size()) {
            std::memcpy(buffer, content.data(), *size);  // partial data, as the registry may leave
            *size = answered_size < 0 ? static_cast<uint32_t>(content.size()) : static_cast<uint32_t>(answered_size);
            return platform::REGISTRY_MORE_DATA;
        }
        std::memcpy(buffer, content.data(), content.size());
        *size = static_cast<uint32_t>(content.size());
        return final_status;
    }
};

std::string big_table(int pairs) {
    std::vector<std::string> strings;
    for (int i = 0; i < pairs; ++i) {
        strings.push_back(std::to_string(2 * i + 2));
        strings.push_back("Counter name number " + std::to_string(i));
    }
    return table_bytes(strings) + std::string(1, '\0');
}

TEST(CounterNameTable, ATableBeyondTheFirstBufferIsReadWholeAfterRetries) {
    FakeRegistry registry(big_table(3000));
    ASSERT_GT(registry.content.size(), 32768u * 2);
    const CounterNameTable table =
        platform::load_counter_name_table([&](char* b, uint32_t* s) { return registry(b, s); });
    EXPECT_EQ(table.size(), 3000u);
    EXPECT_EQ(table.at("Counter name number 2999"), "6000");
    ASSERT_EQ(registry.sizes_asked.size(), 2u);
    EXPECT_EQ(registry.sizes_asked[0], 32768u);
    EXPECT_EQ(registry.sizes_asked[1], registry.content.size() + 8192);
}

TEST(CounterNameTable, RetriesGrowEvenWhenTheAnsweredSizeIsNonsense) {
    FakeRegistry registry(big_table(3000));
    registry.answered_size = 0;  // the performance-data key leaves the size undefined
    const CounterNameTable table =
        platform::load_counter_name_table([&](char* b, uint32_t* s) { return registry(b, s); });
    EXPECT_EQ(table.size(), 3000u);
    for (std::size_t i = 1; i < registry.sizes_asked.size(); ++i)
        EXPECT_EQ(registry.sizes_asked[i], registry.sizes_asked[i - 1] + 8192) << i;
}

TEST(CounterNameTable, EndlessMoreDataEndsAtTheLimitWithWhatWasRead) {
    int calls = 0;
    const CounterNameTable table = platform::load_counter_name_table([&](char* buffer, uint32_t* size) {
        ++calls;
        const std::string start = table_bytes({"2", "System"});
        std::memcpy(buffer, start.data(), start.size());
        *size *= 2;
        return platform::REGISTRY_MORE_DATA;
    });
    EXPECT_LT(calls, 40);
    EXPECT_EQ(table.size(), 1u);
}

TEST(CounterNameTable, AnyOtherAnswerIsParsedAsTheBufferStands) {
    FakeRegistry registry(table_bytes({"2", "System"}));
    registry.final_status = 5;  // access denied
    EXPECT_EQ(platform::load_counter_name_table([&](char* b, uint32_t* s) { return registry(b, s); }).size(), 1u);
    EXPECT_TRUE(platform::load_counter_name_table([](char*, uint32_t*) { return 2L; }).empty());
}

TEST(LocalizedCounterName, TranslatesThroughTheIndexWithRetries) {
    const CounterNameTable table = {{"Processor", "238"}, {"Broken", "23x"}, {"Empty", ""}};
    const std::string local(300, 'P');  // longer than the first buffer
    std::vector<uint32_t> indices, sizes;
    auto lookup = [&](uint32_t index, char* buffer, uint32_t* size) -> long {
        indices.push_back(index);
        sizes.push_back(*size);
        if (*size < local.size() + 1) {
            *size = static_cast<uint32_t>(local.size() + 1);
            return platform::PDH_MORE_DATA_STATUS;
        }
        std::memcpy(buffer, local.c_str(), local.size() + 1);
        return 0;
    };
    EXPECT_EQ(platform::localized_counter_name(table, "Processor", lookup), local);
    EXPECT_EQ(indices, (std::vector<uint32_t>{238, 238}));
    EXPECT_EQ(sizes, (std::vector<uint32_t>{256, 301 + 256}));

    indices.clear();
    EXPECT_EQ(platform::localized_counter_name(table, "Memory", lookup), "") << "not in the table";
    EXPECT_EQ(platform::localized_counter_name(table, "Broken", lookup), "");
    EXPECT_EQ(platform::localized_counter_name(table, "Empty", lookup), "");
    EXPECT_TRUE(indices.empty()) << "no lookup without a valid index";
}

TEST(LocalizedCounterName, AFailedLookupGivesAnEmptyName) {
    const CounterNameTable table = {{"Processor", "238"}};
    auto failing = [](uint32_t, char* buffer, uint32_t*) -> long {
        std::strcpy(buffer, "garbage");
        return static_cast<long>(0xC0000BB8u);
    };
    EXPECT_EQ(platform::localized_counter_name(table, "Processor", failing), "");
    int calls = 0;
    auto endless = [&](uint32_t, char*, uint32_t* size) -> long {
        ++calls;
        *size = 0;
        return platform::PDH_MORE_DATA_STATUS;
    };
    EXPECT_EQ(platform::localized_counter_name(table, "Processor", endless), "");
    EXPECT_LT(calls, 300);
}

}  // namespace
