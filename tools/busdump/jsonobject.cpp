#include "tools/busdump/jsonobject.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace busdump {

void JsonObject::key(const char* name) {
    if (text_.size() > 1) text_ += ',';
    text_ += quote(name);
    text_ += ':';
}

JsonObject& JsonObject::add(const char* name, uint64_t value) {
    key(name);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, int64_t value) {
    key(name);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, double value) {
    if (!std::isfinite(value)) return add_null(name);
    key(name);
    char text[32];
    // Nine significant digits give back the same single-precision value.
    std::snprintf(text, sizeof text, "%.9g", value);
    text_ += text;
    return *this;
}

JsonObject& JsonObject::add(const char* name, const std::string& value) {
    key(name);
    text_ += quote(value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, const char* value) { return add(name, std::string(value)); }

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
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20 || u >= 0x7F) {
                    // Only ASCII leaves the tool, so a stray byte can never make the line invalid UTF-8.
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace busdump
