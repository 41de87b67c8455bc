#include "tools/busdump/jsonobject.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace busdump {

namespace {

// Printable ASCII other than the quote and the backslash: copied as it is.
bool plain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

constexpr int DOUBLE_DIGITS = 9;

template <typename Integer>
void append_integer(std::string& text, Integer value) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, end.ptr);
}

}  // namespace

JsonObject::JsonObject() {
    text_.reserve(INITIAL_CAPACITY);
    text_ = "{";
}

void JsonObject::key(const char* name) {
    if (text_.size() > 1) text_ += ',';
    append_quoted(text_, name, std::strlen(name));
    text_ += ':';
}

JsonObject& JsonObject::add(const char* name, uint64_t value) {
    key(name);
    append_integer(text_, value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, int64_t value) {
    key(name);
    append_integer(text_, value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, double value) {
    if (!std::isfinite(value)) return add_null(name);
    key(name);
    char text[32];
    // Nine significant digits give back the same single-precision value; as printf's "%.9g".
    const std::to_chars_result end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, DOUBLE_DIGITS);
    text_.append(text, end.ptr);
    return *this;
}

JsonObject& JsonObject::add(const char* name, const std::string& value) {
    key(name);
    append_quoted(text_, value.data(), value.size());
    return *this;
}

JsonObject& JsonObject::add(const char* name, const char* value) {
    key(name);
    append_quoted(text_, value, std::strlen(value));
    return *this;
}

JsonObject& JsonObject::add(const char* name, bool value) {
    key(name);
    text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::add_raw(const char* name, const std::string& json) {
    key(name);
    text_ += json;
    return *this;
}

JsonObject& JsonObject::add_null(const char* name) {
    key(name);
    text_ += "null";
    return *this;
}

std::string JsonObject::quote(const std::string& text) {
    std::string out;
    append_quoted(out, text.data(), text.size());
    return out;
}

void JsonObject::append_quoted(std::string& out, const char* text, std::size_t length) {
    out += '"';
    std::size_t done = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (plain(u)) continue;
        out.append(text + done, i - done);  // the plain run before it
        done = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                // Only ASCII leaves the tool, so a stray byte can never make the line invalid UTF-8.
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out += escaped;
            }
        }
    }
    out.append(text + done, length - done);
    out += '"';
}

}  // namespace busdump
