#include "common/stream/recordwalk.h"

#include <cstdio>

#include "common/driver/byteorder.h"
#include "common/stream/datagramheader.h"

namespace {

std::string format(const char* fmt, unsigned long long a, unsigned long long b) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

}  // namespace

RecordWalk::RecordWalk(const uint8_t* data, std::size_t size)
    : data_(data), size_(size), offset_(DatagramHeader::HEADER_SIZE) {}

bool RecordWalk::next(Record& out) {
    if (failed_ || offset_ >= size_) return false;
    const std::size_t left = size_ - offset_;
    last_offset_ = offset_;
    if (left < RECORD_MIN_SIZE)
        return fail(format("%llu bytes left, a record needs at least %llu", left, RECORD_MIN_SIZE));
    const uint8_t* record = data_ + offset_;
    const std::size_t length = linkscope::load_be16(record + RECORD_OFF_LENGTH);
    if (length < RECORD_MIN_SIZE) return fail(format("length %llu below the minimum of %llu", length, RECORD_MIN_SIZE));
    if (length > left)
        return fail(format("length %llu runs past the end of the datagram (%llu bytes left)", length, left));
    out.type = record[RECORD_OFF_TYPE];
    out.number = number_;
    out.offset = offset_;
    out.length = length;
    out.bytes = record;
    offset_ += length;
    ++number_;
    return true;
}

void RecordWalk::refuse(const std::string& reason) {
    if (failed_) return;
    if (number_ > 0) --number_;  // the prefix names the record refused
    fail(reason);
}

bool RecordWalk::finish(uint32_t record_count) {
    if (failed_) return false;
    failed_ = offset_ < size_ || number_ != record_count;
    if (offset_ < size_)
        error_ = format("the walk stopped at offset %llu of %llu bytes", offset_, size_);
    else if (failed_)
        error_ = format("record count %llu in the header, but %llu records in the payload", record_count, number_);
    return !failed_;
}

bool RecordWalk::fail(std::string reason) {
    failed_ = true;
    error_ = record_prefix() + reason;
    return false;
}

std::string RecordWalk::record_prefix() const {
    return format("record %llu at offset %llu: ", number_, last_offset_);
}
