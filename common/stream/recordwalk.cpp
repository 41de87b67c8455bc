#include "common/stream/recordwalk.h"

#include <cstdio>

namespace {

std::string format(const char* fmt, unsigned long long a, unsigned long long b) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

}  // namespace

bool RecordWalk::refuse_short(std::size_t number, std::size_t offset, std::size_t left, std::string* error) {
    return refuse(number, offset, format("%llu bytes left, a record needs at least %llu", left, RECORD_MIN_SIZE),
                  error);
}

bool RecordWalk::refuse_length(std::size_t number, std::size_t offset, std::size_t length, std::size_t left,
                               std::string* error) {
    if (length < RECORD_MIN_SIZE)
        return refuse(number, offset, format("length %llu below the minimum of %llu", length, RECORD_MIN_SIZE), error);
    return refuse(number, offset,
                  format("length %llu runs past the end of the datagram (%llu bytes left)", length, left), error);
}

bool RecordWalk::refuse(std::size_t number, std::size_t offset, const std::string& reason, std::string* error) {
    if (error) *error = format("record %llu at offset %llu: ", number, offset) + reason;
    return false;
}

bool RecordWalk::refuse_count(uint32_t record_count, std::size_t number, std::string* error) {
    if (error) *error = format("record count %llu in the header, but %llu records in the payload", record_count, number);
    return false;
}
