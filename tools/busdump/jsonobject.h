// Builds one JSON object on a single line, with its keys in the order they are added.
#pragma once

#include <cstdint>
#include <string>

namespace busdump {

class JsonObject {
public:
    JsonObject();

    JsonObject& add(const char* key, uint64_t value);
    JsonObject& add(const char* key, int64_t value);
    JsonObject& add(const char* key, uint32_t value) { return add(key, static_cast<uint64_t>(value)); }
    JsonObject& add(const char* key, int value) { return add(key, static_cast<int64_t>(value)); }
    // NaN and infinities have no JSON form: they become null.
    JsonObject& add(const char* key, double value);
    JsonObject& add(const char* key, const std::string& value);
    JsonObject& add(const char* key, const char* value);
    JsonObject& add(const char* key, bool value);
    JsonObject& add_null(const char* key);
    // A value that is JSON text already: a nested object or array.
    JsonObject& add_raw(const char* key, const std::string& json);

    // The object, "{...}", without a line end.
    std::string str() const { return text_ + "}"; }

    static std::string quote(const std::string& text);
    // Appends `text` quoted and escaped to `out`.
    static void append_quoted(std::string& out, const char* text, std::size_t length);

private:
    void key(const char* name);

    // Room for a typical object, so that it is built without growing.
    static constexpr std::size_t INITIAL_CAPACITY = 256;
    std::string text_;
};

}  // namespace busdump
