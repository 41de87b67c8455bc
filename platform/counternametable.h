// The registry's table of English performance-counter names ("Counter 009"), through which the
// counter path of the CPU load is translated into the language of the machine. The reading loops
// take the system calls as functions, so that their retries and stop rules can be checked on
// crafted answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace platform {

// English name -> index text.
using CounterNameTable = std::map<std::string, std::string>;

// The "buffer too small" answers of the registry and of PDH.
constexpr long REGISTRY_MORE_DATA = 234;
constexpr long PDH_MORE_DATA_STATUS = static_cast<long>(0x800007D2u);

// Parses NUL-terminated strings pairwise, an index then its name. Stops at an empty string where
// an index should begin, and at a string that would start at or run past the end of the data. A
// name met twice keeps its first index.
CounterNameTable parse_counter_name_table(const char* data, std::size_t size);

// Fills `buffer` of *size bytes; returns a Windows status and may change *size.
using TableQuery = std::function<long(char* buffer, uint32_t* size)>;

// Reads the table with a buffer of 32768 bytes, grown by 8192 bytes beyond the larger of the size
// asked and the size answered while the answer is REGISTRY_MORE_DATA (up to a limit, after which
// what was read is parsed). Any other answer is not examined: the buffer is parsed as it is.
CounterNameTable load_counter_name_table(const TableQuery& query);

// Writes the name of counter `index` into `buffer` of *size characters; returns a PDH status
// and may change *size.
using NameLookup = std::function<long(uint32_t index, char* buffer, uint32_t* size)>;

// The name of `english_name` in the language of the machine; empty when the table lacks it, its
// index is not a number, or the lookup fails. Retries with a larger buffer on PDH_MORE_DATA_STATUS.
std::string localized_counter_name(const CounterNameTable& table, const std::string& english_name,
                                   const NameLookup& lookup);

}  // namespace platform
