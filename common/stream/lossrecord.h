// The loss record: a small big-endian record of type 0xC2 that the gateway sends, when its
// configuration file asks for it (LossRecord=1), at the start of its transmit thread, once a
// second and at its end, in the same datagrams as the event records. It carries the
// gateway's cumulative counts, since its start, of what it lost on its side of the network:
// frames missing from the card's indices, records its queue refused, and the datagrams (and
// the records in them) whose send failed. Receivers tell the losses of each stage apart with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/stream/recordwalk.h"

namespace lossrecord {

constexpr uint8_t RECORD_TYPE = 0xC2;
// A later gateway may append fields: a receiver reads these and skips the rest of the record.
constexpr std::size_t MIN_SIZE = 47;

constexpr std::size_t OFF_TYPE = RecordWalk::RECORD_OFF_TYPE;
constexpr std::size_t OFF_LENGTH = RecordWalk::RECORD_OFF_LENGTH;
constexpr std::size_t OFF_COUNTER = 3;                 // 32 bits: 1 for the first record of a run
constexpr std::size_t OFF_CREATED = 7;                 // 64 bits signed: local wall clock, us since 1970
constexpr std::size_t OFF_CARD_LOST_FRAMES = 15;       // 64 bits: frames missing from the card's indices
constexpr std::size_t OFF_QUEUE_REFUSED = 23;          // 64 bits: records the queue refused
constexpr std::size_t OFF_SEND_FAILED_DATAGRAMS = 31;  // 64 bits: datagrams whose send failed
constexpr std::size_t OFF_SEND_FAILED_RECORDS = 39;    // 64 bits: the records in them

static_assert(OFF_COUNTER == OFF_LENGTH + 2 && OFF_CREATED == OFF_COUNTER + 4 &&
                  OFF_CARD_LOST_FRAMES == OFF_CREATED + 8,
              "record header layout");
static_assert(OFF_QUEUE_REFUSED == OFF_CARD_LOST_FRAMES + 8 && OFF_SEND_FAILED_DATAGRAMS == OFF_QUEUE_REFUSED + 8 &&
                  OFF_SEND_FAILED_RECORDS == OFF_SEND_FAILED_DATAGRAMS + 8,
              "the counts follow one another");
static_assert(OFF_SEND_FAILED_RECORDS + 8 == MIN_SIZE, "the last count ends the record");

}  // namespace lossrecord

struct LossRecord {
    uint32_t counter = 0;
    int64_t created_us = 0;
    uint64_t card_lost_frames = 0;
    uint64_t queue_refused = 0;
    uint64_t send_failed_datagrams = 0;
    uint64_t send_failed_records = 0;

    // Writes the lossrecord::MIN_SIZE bytes of the record.
    void encode(uint8_t* out) const;
    std::vector<char> encode() const;

    // Reads a record of `size` bytes (its own length). False, with the reason in *error when
    // error is given, when the type is wrong, the length field disagrees with size, or the
    // record is shorter than lossrecord::MIN_SIZE.
    static bool decode(const uint8_t* data, std::size_t size, LossRecord* out, std::string* error = nullptr);
};
