// Walks the records behind a datagram's header one at a time by their own framing: byte 0 is
// the record's type, bytes 1 and 2 its whole length, big-endian. Never reads outside the
// datagram; a record that does not fit ends the walk with the reason in error().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class RecordWalk {
public:
    static constexpr std::size_t RECORD_OFF_TYPE = 0;
    static constexpr std::size_t RECORD_OFF_LENGTH = 1;
    static constexpr std::size_t RECORD_MIN_SIZE = 3;

    struct Record {
        uint8_t type = 0;
        std::size_t number = 0;  // 0 for the first record of the datagram
        std::size_t offset = 0;  // from the start of the datagram
        std::size_t length = 0;  // of the whole record, at least RECORD_MIN_SIZE
        const uint8_t* bytes = nullptr;
    };

    // `data` is the whole datagram, header included; the walk starts behind the header.
    RecordWalk(const uint8_t* data, std::size_t size);

    // The next whole record; false at the end of the datagram, or at a record whose length is
    // impossible (then failed()).
    bool next(Record& out);
    // Refuses the record last given by next() for a reason of the caller's (its content): the
    // walk ends there, and error() names the record.
    void refuse(const std::string& reason);
    // After the last next(): true when the records tiled the payload and their number is the
    // header's count; otherwise error() says what was wrong.
    bool finish(uint32_t record_count);

    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

private:
    bool fail(std::string reason);
    std::string record_prefix() const;

    const uint8_t* const data_;
    const std::size_t size_;
    std::size_t offset_;        // of the record to read next
    std::size_t number_ = 0;    // records given so far
    std::size_t last_offset_ = 0;
    bool failed_ = false;
    std::string error_;
};
