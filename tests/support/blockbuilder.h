// Builders of frames, event records and event blocks, so that tests never assemble bytes by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/driver/eventrecord.h"
#include "common/driver/protocol.h"

namespace testsupport {

// A frame: control byte, body, then the 2-byte FCS for `fcs_mode` (modes 1 and 2), correct or
// deliberately wrong. For other modes the FCS bytes are 0.
std::vector<uint8_t> make_frame(uint8_t control, const std::vector<uint8_t>& body, uint8_t fcs_mode = 2,
                                bool correct_fcs = true);

// An identifier frame (ID_DAT, ID_MSG, ID_RQ1, ...): control byte, 16-bit identifier, FCS.
std::vector<uint8_t> make_identifier_frame(uint8_t control, uint16_t id, uint8_t fcs_mode = 2, bool correct_fcs = true);

// A variable response (RP_DAT by default): control byte, PDU type 0x40, length byte, the data, FCS;
// its frame length is the data length + 5 as the response checks require.
std::vector<uint8_t> make_response_frame(const std::vector<uint8_t>& data, uint8_t fcs_mode = 2,
                                         bool correct_fcs = true, uint8_t control = 0x02);

// One event record around `frame`.
std::vector<uint8_t> make_record(const std::vector<uint8_t>& frame, uint64_t index, uint64_t timestamp = 0,
                                 uint16_t status = linkscope::make_status(2, 3));

// Collects records into 32780-byte event blocks.
class BlockBuilder {
public:
    explicit BlockBuilder(uint32_t block_flags = linkscope::BLOCK_FLAG_EVENTS_A) : flags_(block_flags) {}

    // Appends raw bytes at the current end of the event area (a record, or garbage on purpose).
    // Returns false when they do not fit in the area.
    bool add(const std::vector<uint8_t>& bytes);
    // Appends one event record around `frame` (see make_record); false when it does not fit.
    bool add_record(const std::vector<uint8_t>& frame, uint64_t index, uint64_t timestamp = 0,
                    uint16_t status = linkscope::make_status(2, 3)) {
        return add(make_record(frame, index, timestamp, status));
    }
    std::size_t used() const { return area_.size(); }

    std::vector<uint8_t> build() const;

private:
    uint32_t flags_;
    std::vector<uint8_t> area_;
};

// Writes `blocks` back to back to `path` (a file for LINKSCOPE_SIM's replay); true on success.
bool write_block_file(const std::string& path, const std::vector<std::vector<uint8_t>>& blocks);

}  // namespace testsupport
