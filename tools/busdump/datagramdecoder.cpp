#include "tools/busdump/datagramdecoder.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "common/stream/datagramheader.h"
#include "common/stream/recordwalk.h"

namespace busdump {

namespace {

constexpr uint16_t STATUS_FLAG_MASK = linkscope::STATUS_BIT4 | linkscope::STATUS_BIT5 | linkscope::STATUS_BIT6;
constexpr unsigned STATUS_FLAG_SHIFT = 4;
// An identifier frame: control byte, then the 16-bit identifier.
constexpr std::size_t IDENTIFIER_OFFSET = 1;
constexpr std::size_t IDENTIFIER_END = IDENTIFIER_OFFSET + 2;

std::string format(const char* fmt, unsigned long long a = 0, unsigned long long b = 0,
                   unsigned long long c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

}  // namespace

const char* fcs_result_name(FcsResult result) {
    switch (result) {
        case FcsResult::ok: return "ok";
        case FcsResult::bad: return "bad";
        case FcsResult::short_frame: return "short";
        case FcsResult::no_mode: return "no_mode";
    }
    return "?";
}

const uint8_t* DecodedDatagram::frame(const DecodedRecord& record) const {
    return bytes.data() + record.offset + linkscope::EVT_OFF_FRAME;
}

void DecodedDatagram::clear() {
    size = 0;
    header_valid = false;
    sequence = 0;
    record_count = 0;
    error.clear();
    records.clear();
    bytes.clear();
}

DecodedDatagram DatagramDecoder::decode(const uint8_t* data, std::size_t size) {
    DecodedDatagram out;
    decode_into(data, size, out);
    return out;
}

void DatagramDecoder::decode_into(const uint8_t* data, std::size_t size, DecodedDatagram& out) {
    out.clear();
    out.size = size;
    out.bytes.assign(data, data + size);
    if (!decode_header(data, size, out)) return;
    if (!walk_records(data, size, out)) out.records.clear();
}

bool DatagramDecoder::decode_header(const uint8_t* data, std::size_t size, DecodedDatagram& out) {
    DatagramHeader header;
    if (!DatagramHeader::decode(data, size, header, &out.error)) return false;
    out.header_valid = true;
    out.sequence = header.sequence;
    out.record_count = header.record_count;
    return true;
}

bool DatagramDecoder::walk_records(const uint8_t* data, std::size_t size, DecodedDatagram& out) {
    // The header's count is only a hint: never more than the payload could hold.
    out.records.reserve(std::min<std::size_t>(
        out.record_count, (size - DatagramHeader::HEADER_SIZE) / RecordWalk::RECORD_MIN_SIZE));
    return RecordWalk::walk(
        data, size, out.record_count,
        [&out](const RecordWalk::Record& found, std::string& reason) {
            DecodedRecord record;
            record.offset = found.offset;
            if (!decode_record(found.bytes, found.length, record, reason)) return false;
            out.records.push_back(std::move(record));
            return true;
        },
        &out.error);
}

bool DatagramDecoder::decode_record(const uint8_t* record, std::size_t length, DecodedRecord& out,
                                    std::string& error) {
    out.type = record[RecordWalk::RECORD_OFF_TYPE];
    out.length = length;
    if (out.type == linkscope::EVT_MARKER) {
        if (length < linkscope::EVT_HEADER_SIZE) {
            error = format("event record of %llu bytes is shorter than its %llu-byte header", length,
                           linkscope::EVT_HEADER_SIZE);
            return false;
        }
        out.kind = RecordKind::event;
        out.event = decode_event(record, length);
        return true;
    }
    if (out.type == lifesign::RECORD_TYPE) {
        if (length != lifesign::RECORD_SIZE) {
            error = format("lifesign record of %llu bytes (expected %llu)", length, lifesign::RECORD_SIZE);
            return false;
        }
        out.kind = RecordKind::lifesign;
        auto lifesign = std::make_shared<LifesignRecord>();
        if (!LifesignRecord::decode(record, length, lifesign.get(), &error)) return false;
        out.lifesign = std::move(lifesign);
        return true;
    }
    if (out.type == lossrecord::RECORD_TYPE) {
        auto loss = std::make_shared<LossRecord>();
        if (!LossRecord::decode(record, length, loss.get(), &error)) return false;
        out.kind = RecordKind::loss;
        out.loss = std::move(loss);
        return true;
    }
    out.kind = RecordKind::unknown;
    return true;
}

EventInfo DatagramDecoder::decode_event(const uint8_t* bytes, std::size_t length) {
    const linkscope::EventRecord record(bytes, length);
    EventInfo info;
    info.index = record.index();
    info.timestamp_us = record.timestamp();
    info.time_a = record.time_a();
    info.time_b = record.time_b();
    info.status = record.status();
    info.rx_errors = static_cast<uint8_t>(info.status & linkscope::STATUS_RX_ERROR_MASK);
    info.flags = static_cast<uint8_t>((info.status & STATUS_FLAG_MASK) >> STATUS_FLAG_SHIFT);
    info.fcs_mode = record.fcs_mode();
    info.period_code = record.period_code();

    const uint8_t* frame = record.frame();
    const std::size_t n = record.frame_length();
    info.frame_length = n;
    if (n == 0) return info;  // empty frame: nothing beyond the header

    const uint8_t control = frame[0];
    info.control = control;
    if (linkscope::ControlByte::is_known(control) && linkscope::ControlByte::is_identifier(control) &&
        n >= IDENTIFIER_END)
        info.identifier = linkscope::load_be16(frame + IDENTIFIER_OFFSET);

    const std::size_t checked = 1 + linkscope::FCS_SIZE;
    if (n < checked) return info;  // too short to carry a control byte and an FCS
    info.data_length = n - checked;
    info.fcs_carried = linkscope::load_be16(frame + n - linkscope::FCS_SIZE);
    if (!linkscope::FrameCheck::compute(info.fcs_mode, frame, n - linkscope::FCS_SIZE, &info.fcs_computed)) {
        info.fcs = FcsResult::no_mode;
        return info;
    }
    info.fcs = info.fcs_computed == info.fcs_carried ? FcsResult::ok : FcsResult::bad;
    return info;
}

}  // namespace busdump
