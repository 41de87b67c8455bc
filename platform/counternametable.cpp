#include "platform/counternametable.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr uint32_t TABLE_FIRST_SIZE = 32768;
constexpr uint32_t TABLE_GROWTH = 8192;
constexpr uint32_t NAME_FIRST_SIZE = 256;
constexpr uint32_t NAME_GROWTH = 256;
// A registry answering "more data" for ever must not take all memory.
constexpr uint32_t TABLE_SIZE_LIMIT = 64u * 1024 * 1024;
constexpr uint32_t NAME_SIZE_LIMIT = 64u * 1024;
constexpr long STATUS_SUCCESS_CODE = 0;

// The string at `pos`, or false when it does not end inside the data.
bool string_at(const char* data, std::size_t size, std::size_t pos, std::string* out) {
    if (pos >= size) return false;
    const void* end = std::memchr(data + pos, '\0', size - pos);
    if (end == nullptr) return false;
    out->assign(data + pos, static_cast<const char*>(end));
    return true;
}

// The next buffer size: beyond both the size given and the size the call answered, which
// some calls leave undefined on "more data".
uint32_t grown_size(uint32_t given, uint32_t answered, uint32_t growth) { return std::max(given, answered) + growth; }

bool parse_index(const std::string& text, uint32_t* index) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    *index = value;
    return true;
}

}  // namespace

CounterNameTable parse_counter_name_table(const char* data, std::size_t size) {
    CounterNameTable table;
    std::size_t pos = 0;
    std::string index, name;
    while (string_at(data, size, pos, &index) && !index.empty()) {
        pos += index.size() + 1;
        if (!string_at(data, size, pos, &name)) break;
        pos += name.size() + 1;
        table.emplace(name, index);
    }
    return table;
}

CounterNameTable load_counter_name_table(const TableQuery& query) {
    std::vector<char> buffer(TABLE_FIRST_SIZE, '\0');
    uint32_t size = TABLE_FIRST_SIZE;
    while (query(buffer.data(), &size) == REGISTRY_MORE_DATA) {
        const uint32_t next = grown_size(static_cast<uint32_t>(buffer.size()), size, TABLE_GROWTH);
        if (next > TABLE_SIZE_LIMIT) break;
        buffer.assign(next, '\0');
        size = next;
    }
    return parse_counter_name_table(buffer.data(), buffer.size());
}

std::string localized_counter_name(const CounterNameTable& table, const std::string& english_name,
                                   const NameLookup& lookup) {
    const auto entry = table.find(english_name);
    uint32_t index = 0;
    if (entry == table.end() || !parse_index(entry->second, &index)) return "";
    std::vector<char> buffer(NAME_FIRST_SIZE, '\0');
    uint32_t size = NAME_FIRST_SIZE;
    long status = lookup(index, buffer.data(), &size);
    while (status == PDH_MORE_DATA_STATUS) {
        const uint32_t next = grown_size(static_cast<uint32_t>(buffer.size()), size, NAME_GROWTH);
        if (next > NAME_SIZE_LIMIT) return "";
        buffer.assign(next, '\0');
        size = next;
        status = lookup(index, buffer.data(), &size);
    }
    if (status != STATUS_SUCCESS_CODE) return "";
    buffer.back() = '\0';
    return buffer.data();
}

}  // namespace platform
