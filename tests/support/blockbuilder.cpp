#include "tests/support/blockbuilder.h"

#include <cstring>
#include <fstream>

#include "common/driver/byteorder.h"
#include "common/driver/framecheck.h"

namespace testsupport {

using namespace linkscope;

std::vector<uint8_t> make_frame(uint8_t control, const std::vector<uint8_t>& body, uint8_t fcs_mode,
                                bool correct_fcs) {
    std::vector<uint8_t> frame;
    frame.reserve(body.size() + 3);
    frame.push_back(control);
    frame.insert(frame.end(), body.begin(), body.end());
    uint16_t fcs = 0;
    FrameCheck::compute(fcs_mode, frame.data(), frame.size(), &fcs);
    if (!correct_fcs) fcs ^= 0x5A5A;
    frame.resize(frame.size() + FCS_SIZE);
    store_be16(frame.data() + frame.size() - FCS_SIZE, fcs);
    return frame;
}

std::vector<uint8_t> make_identifier_frame(uint8_t control, uint16_t id, uint8_t fcs_mode, bool correct_fcs) {
    return make_frame(control, {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}, fcs_mode, correct_fcs);
}

std::vector<uint8_t> make_response_frame(const std::vector<uint8_t>& data, uint8_t fcs_mode, bool correct_fcs,
                                         uint8_t control) {
    std::vector<uint8_t> body{PDU_TYPE_EXPECTED, static_cast<uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    return make_frame(control, body, fcs_mode, correct_fcs);
}

std::vector<uint8_t> make_record(const std::vector<uint8_t>& frame, uint64_t index, uint64_t timestamp,
                                 uint16_t status) {
    EventHeader header;
    header.status = status;
    header.index = index;
    header.timestamp = timestamp;
    std::vector<uint8_t> record;
    append_event_record(record, header, frame.data(), frame.size());
    return record;
}

bool BlockBuilder::add(const std::vector<uint8_t>& bytes) {
    if (area_.size() + bytes.size() > EVENT_AREA_SIZE) return false;
    area_.insert(area_.end(), bytes.begin(), bytes.end());
    return true;
}

std::vector<uint8_t> BlockBuilder::build() const {
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE, 0);
    store_le32(block.data(), flags_);
    if (!area_.empty()) std::memcpy(block.data() + EVENT_AREA_OFFSET, area_.data(), area_.size());
    return block;
}

bool write_block_file(const std::string& path, const std::vector<std::vector<uint8_t>>& blocks) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const auto& block : blocks)
        file.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    return static_cast<bool>(file.flush());
}

}  // namespace testsupport
