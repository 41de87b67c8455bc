#include "tools/busdump/jsonreader.h"

#include <cstdlib>
#include <cstring>

namespace busdump {

const JsonNode* JsonNode::field(const std::string& name) const {
    const auto found = fields.find(name);
    return found == fields.end() ? nullptr : &found->second;
}

bool JsonReader::parse(const std::string& text, JsonNode& out, std::string& error) {
    JsonReader reader(text);
    bool ok = reader.value(out, 0);
    if (ok) {
        reader.skip_space();
        if (reader.at_ != text.size()) ok = reader.fail("bytes after the document");
    }
    if (!ok) error = reader.error_;
    return ok;
}

bool JsonReader::fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(at_);
    return false;
}

void JsonReader::skip_space() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) && text_[at_] != '\0') ++at_;
}

bool JsonReader::value(JsonNode& out, std::size_t depth) {
    if (depth > MAX_DEPTH) return fail("nesting too deep");
    skip_space();
    if (at_ >= text_.size()) return fail("unexpected end");
    const char c = text_[at_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
        out.type = JsonNode::Type::string;
        return string(out.text);
    }
    if (c == 't' || c == 'f') {
        out.type = JsonNode::Type::boolean;
        out.boolean = c == 't';
        return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
        out.type = JsonNode::Type::null;
        return literal("null");
    }
    return number(out);
}

bool JsonReader::object(JsonNode& out, std::size_t depth) {
    out.type = JsonNode::Type::object;
    ++at_;
    skip_space();
    if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
    for (;;) {
        skip_space();
        std::string name;
        if (at_ >= text_.size() || text_[at_] != '"' || !string(name)) return fail("expected a field name");
        if (out.fields.count(name)) return fail("field '" + name + "' twice");
        skip_space();
        if (at_ >= text_.size() || text_[at_] != ':') return fail("expected ':'");
        ++at_;
        if (!value(out.fields[name], depth + 1)) return false;
        skip_space();
        if (at_ < text_.size() && text_[at_] == ',') {
            ++at_;
            continue;
        }
        if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
        return fail("expected ',' or '}'");
    }
}

bool JsonReader::array(JsonNode& out, std::size_t depth) {
    out.type = JsonNode::Type::array;
    ++at_;
    skip_space();
    if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
    for (;;) {
        out.items.emplace_back();
        if (!value(out.items.back(), depth + 1)) return false;
        skip_space();
        if (at_ < text_.size() && text_[at_] == ',') {
            ++at_;
            continue;
        }
        if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
        return fail("expected ',' or ']'");
    }
}

// Strings as busdump writes them: escapes of '"', '\\', '/', b f n r t and \u00XX.
bool JsonReader::string(std::string& out) {
    ++at_;
    while (at_ < text_.size()) {
        const char c = text_[at_++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at_ >= text_.size()) break;
        const char e = text_[at_++];
        const char* plain = std::strchr("\"\\/bfnrt", e);
        if (e != '\0' && plain) {
            static const char decoded[] = "\"\\/\b\f\n\r\t";
            out += decoded[plain - "\"\\/bfnrt"];
        } else if (e == 'u' && at_ + 4 <= text_.size()) {
            const std::string hex = text_.substr(at_, 4);
            char* end = nullptr;
            const long code = std::strtol(hex.c_str(), &end, 16);
            if (end != hex.c_str() + 4 || code > 0x7F) return fail("unsupported \\u escape");
            out += static_cast<char>(code);
            at_ += 4;
        } else {
            return fail("bad escape");
        }
    }
    return fail("unterminated string");
}

bool JsonReader::number(JsonNode& out) {
    const std::size_t start = at_;
    while (at_ < text_.size() && std::strchr("+-0123456789.eE", text_[at_]) && text_[at_] != '\0') ++at_;
    const std::string digits = text_.substr(start, at_ - start);
    char* end = nullptr;
    out.type = JsonNode::Type::number;
    out.number = digits.empty() ? 0 : std::strtod(digits.c_str(), &end);
    if (digits.empty() || end != digits.c_str() + digits.size()) {
        at_ = start;
        return fail("expected a value");
    }
    return true;
}

bool JsonReader::literal(const char* word) {
    const std::size_t length = std::strlen(word);
    if (text_.compare(at_, length, word) != 0) return fail("expected a value");
    at_ += length;
    return true;
}

}  // namespace busdump
