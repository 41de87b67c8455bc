#include "tools/busdump/formatter.h"

#include <cstdio>

namespace busdump {

std::string Formatter::hex_bytes(const uint8_t* bytes, std::size_t size, const char* separator) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text += separator;
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

std::string Formatter::source_label(const Arrival& arrival) {
    std::string label = arrival.source_number ? "#" + std::to_string(arrival.source_number) + " " : std::string();
    label += arrival.source;
    if (arrival.serial) {
        char serial[24];
        std::snprintf(serial, sizeof serial, " sn 0x%08x", static_cast<unsigned>(*arrival.serial));
        label += serial;
    }
    return label;
}

std::string Formatter::source_label(const Source& source) {
    return source_label(Arrival(0, source.address(), source.number(), source.serial()));
}

}  // namespace busdump
