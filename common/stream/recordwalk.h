// Walks the records behind a datagram's header by their own framing: byte 0 is the record's
// type, bytes 1 and 2 its whole length, big-endian. Never reads outside the datagram; a record
// that does not fit, or that the caller refuses, ends the walk with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/driver/byteorder.h"
#include "common/stream/datagramheader.h"

class RecordWalk {
public:
    static constexpr std::size_t RECORD_OFF_TYPE = 0;
    static constexpr std::size_t RECORD_OFF_LENGTH = 1;
    static constexpr std::size_t RECORD_MIN_SIZE = 3;

    struct Record {
        uint8_t type = 0;
        std::size_t offset = 0;  // from the start of the datagram
        std::size_t length = 0;  // of the whole record, at least RECORD_MIN_SIZE
        const uint8_t* bytes = nullptr;
    };

    // Calls visit(record, reason) for every record of the datagram `data` (header included) in
    // order. A visit that returns false refuses its record, with the reason it wrote. True when
    // every record was taken, they tile the payload and their number is `record_count`;
    // otherwise false with the reason, naming the record and its offset, in *error when given.
    // A template, so that the walk's state stays in registers on every receiver's hot path.
    template <class Visit>
    static bool walk(const uint8_t* data, std::size_t size, uint32_t record_count, Visit&& visit,
                     std::string* error = nullptr) {
        std::size_t offset = DatagramHeader::HEADER_SIZE;
        std::size_t number = 0;
        std::string reason;
        while (offset < size) {
            const std::size_t left = size - offset;
            if (left < RECORD_MIN_SIZE) return refuse_short(number, offset, left, error);
            Record record;
            record.bytes = data + offset;
            record.length = linkscope::load_be16(record.bytes + RECORD_OFF_LENGTH);
            if (record.length < RECORD_MIN_SIZE || record.length > left)
                return refuse_length(number, offset, record.length, left, error);
            record.type = record.bytes[RECORD_OFF_TYPE];
            record.offset = offset;
            if (!visit(static_cast<const Record&>(record), reason)) return refuse(number, offset, reason, error);
            offset += record.length;
            ++number;
        }
        return number == record_count || refuse_count(record_count, number, error);
    }

private:
    static bool refuse_short(std::size_t number, std::size_t offset, std::size_t left, std::string* error);
    static bool refuse_length(std::size_t number, std::size_t offset, std::size_t length, std::size_t left,
                              std::string* error);
    static bool refuse(std::size_t number, std::size_t offset, const std::string& reason, std::string* error);
    static bool refuse_count(uint32_t record_count, std::size_t number, std::string* error);
};
