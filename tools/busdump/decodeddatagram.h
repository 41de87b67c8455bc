// What the decoder makes of one datagram: its header and every record, already interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/stream/lifesignrecord.h"
#include "common/stream/lossrecord.h"

namespace busdump {

// Outcome of the frame check of one event's frame.
enum class FcsResult {
    ok,         // carried FCS matches the one computed for the record's fcs_mode
    bad,        // it does not
    short_frame,  // fewer than 3 frame bytes: no control byte and FCS to check
    no_mode,    // fcs_mode 0 or 3 defines no frame check
};

const char* fcs_result_name(FcsResult result);

struct EventInfo {
    uint64_t index = 0;
    uint64_t timestamp_us = 0;
    uint32_t time_a = 0;
    uint32_t time_b = 0;
    uint16_t status = 0;
    uint8_t rx_errors = 0;  // status bits 0 to 3
    uint8_t flags = 0;      // status bits 4 to 6, shifted down
    uint8_t fcs_mode = 0;
    uint8_t period_code = 0;
    std::size_t frame_length = 0;  // control byte through FCS
    std::size_t data_length = 0;   // bytes between control byte and FCS
    std::optional<uint8_t> control;        // absent for an empty frame
    std::optional<uint16_t> identifier;    // frame bytes 1-2 of an identifier frame
    // A response: the identifier of the ID frame just before it from the same sender (set by
    // the sender's stream, not by the decoder, which sees one datagram only).
    std::optional<uint16_t> response_to;
    FcsResult fcs = FcsResult::short_frame;
    uint16_t fcs_carried = 0;   // meaningful for ok and bad
    uint16_t fcs_computed = 0;
};

enum class RecordKind { event, lifesign, loss, unknown };

struct DecodedRecord {
    RecordKind kind = RecordKind::unknown;
    uint8_t type = 0;
    std::size_t offset = 0;  // from the start of the datagram
    std::size_t length = 0;
    EventInfo event;  // kind == event
    // kind == lifesign. Held apart: lifesigns are rare, and an inline one would make every
    // event's entry several times larger.
    std::shared_ptr<const LifesignRecord> lifesign;
    std::shared_ptr<const LossRecord> loss;  // kind == loss, rare as well
};

struct DecodedDatagram {
    std::size_t size = 0;
    bool header_valid = false;  // magic, mark, sequence and count could be read
    uint64_t sequence = 0;
    uint32_t record_count = 0;
    std::string error;           // empty when the whole datagram is sound
    std::vector<DecodedRecord> records;  // empty when error is set
    std::vector<uint8_t> bytes;          // the datagram itself, for showing frame bytes

    bool ok() const { return error.empty(); }
    // Back to a freshly made one, keeping the storage of its strings and vectors.
    void clear();
    // The frame of an event record (control byte through FCS), inside `bytes`.
    const uint8_t* frame(const DecodedRecord& record) const;
};

}  // namespace busdump
