// A strict reader of the flat JSON objects busdump prints (numbers, strings, true, false, null),
// so that the tests read the output back instead of comparing text.
#pragma once

#include <map>
#include <string>

namespace busdumptest {

struct JsonValue {
    enum class Type { number, string, boolean, null } type = Type::null;
    std::string text;  // number as written, or the unescaped string
    bool boolean = false;
};

// Parses one object; false (with the position of the fault in error) for anything else,
// including nesting, trailing bytes and duplicate keys.
bool parse_json_line(const std::string& line, std::map<std::string, JsonValue>& out, std::string& error);

}  // namespace busdumptest
