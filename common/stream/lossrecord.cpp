#include "common/stream/lossrecord.h"

#include <cstdio>

#include "common/driver/byteorder.h"

using linkscope::load_be16;
using linkscope::load_be32;
using linkscope::load_be64;
using linkscope::store_be16;
using linkscope::store_be32;
using linkscope::store_be64;
using namespace lossrecord;

void LossRecord::encode(uint8_t* out) const {
    out[OFF_TYPE] = RECORD_TYPE;
    store_be16(out + OFF_LENGTH, static_cast<uint16_t>(MIN_SIZE));
    store_be32(out + OFF_COUNTER, counter);
    store_be64(out + OFF_CREATED, static_cast<uint64_t>(created_us));
    store_be64(out + OFF_CARD_LOST_FRAMES, card_lost_frames);
    store_be64(out + OFF_QUEUE_REFUSED, queue_refused);
    store_be64(out + OFF_SEND_FAILED_DATAGRAMS, send_failed_datagrams);
    store_be64(out + OFF_SEND_FAILED_RECORDS, send_failed_records);
}

std::vector<char> LossRecord::encode() const {
    std::vector<char> bytes(MIN_SIZE);
    encode(reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes;
}

bool LossRecord::decode(const uint8_t* data, std::size_t size, LossRecord* out, std::string* error) {
    char reason[96] = "";
    if (size < MIN_SIZE)
        std::snprintf(reason, sizeof reason, "loss record of %zu bytes (at least %zu expected)", size, MIN_SIZE);
    else if (data[OFF_TYPE] != RECORD_TYPE)
        std::snprintf(reason, sizeof reason, "record type 0x%02x is not a loss record", data[OFF_TYPE]);
    else if (load_be16(data + OFF_LENGTH) != size)
        std::snprintf(reason, sizeof reason, "loss record length field %u for %zu bytes",
                      static_cast<unsigned>(load_be16(data + OFF_LENGTH)), size);
    if (reason[0]) {
        if (error) *error = reason;
        return false;
    }
    out->counter = load_be32(data + OFF_COUNTER);
    out->created_us = static_cast<int64_t>(load_be64(data + OFF_CREATED));
    out->card_lost_frames = load_be64(data + OFF_CARD_LOST_FRAMES);
    out->queue_refused = load_be64(data + OFF_QUEUE_REFUSED);
    out->send_failed_datagrams = load_be64(data + OFF_SEND_FAILED_DATAGRAMS);
    out->send_failed_records = load_be64(data + OFF_SEND_FAILED_RECORDS);
    return true;
}
