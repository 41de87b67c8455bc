// Reads one JSON document (the baseline file) into a tree: objects, arrays, numbers, strings,
// true, false, null. Strict: anything else, trailing bytes or nesting deeper than MAX_DEPTH is
// an error with its position.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace busdump {

struct JsonNode {
    enum class Type { null, boolean, number, string, array, object } type = Type::null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonNode> items;             // array
    std::map<std::string, JsonNode> fields;  // object

    // The field `name` of an object, or null when there is none.
    const JsonNode* field(const std::string& name) const;
};

class JsonReader {
public:
    static constexpr std::size_t MAX_DEPTH = 32;

    // False with `error` naming the byte offset of the fault.
    static bool parse(const std::string& text, JsonNode& out, std::string& error);

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool value(JsonNode& out, std::size_t depth);
    bool object(JsonNode& out, std::size_t depth);
    bool array(JsonNode& out, std::size_t depth);
    bool string(std::string& out);
    bool number(JsonNode& out);
    bool literal(const char* word);
    void skip_space();
    bool fail(const std::string& what);

    const std::string& text_;
    std::size_t at_ = 0;
    std::string error_;
};

}  // namespace busdump
