#include "common/driver/framecheck.h"

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"

namespace linkscope {

FrameCheck::Table FrameCheck::make_table(uint16_t polynomial) {
    Table table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (c & 0x8000u) != 0;
            c = static_cast<uint16_t>(c << 1);
            if (top) c ^= polynomial;
        }
        table[i] = c;
    }
    return table;
}

const FrameCheck::Table& FrameCheck::table_1021() {
    static const Table table = make_table(FCS_POLY_1021);
    return table;
}

const FrameCheck::Table& FrameCheck::table_1dcf() {
    static const Table table = make_table(FCS_POLY_1DCF);
    return table;
}

bool FrameCheck::compute(uint8_t fcs_mode, const uint8_t* bytes, std::size_t length, uint16_t* fcs) {
    uint16_t crc;
    if (fcs_mode == FCS_MODE_1021)
        crc = update(table_1021(), FCS_INIT_1021, bytes, length);
    else if (fcs_mode == FCS_MODE_1DCF)
        crc = update(table_1dcf(), FCS_INIT_1DCF, bytes, length);
    else
        return false;
    *fcs = static_cast<uint16_t>(~crc);
    return true;
}

bool FrameCheck::frame_is_correct(uint8_t fcs_mode, const uint8_t* frame, std::size_t frame_length) {
    if (fcs_mode == FCS_MODE_1021) return frame_matches(table_1021(), FCS_INIT_1021, frame, frame_length);
    if (fcs_mode == FCS_MODE_1DCF) return frame_matches(table_1dcf(), FCS_INIT_1DCF, frame, frame_length);
    return false;
}

bool FrameCheck::frame_matches(const Table& table, uint16_t initial, const uint8_t* frame, std::size_t frame_length) {
    if (frame_length <= FCS_SIZE) return false;
    const std::size_t covered = frame_length - FCS_SIZE;
    return static_cast<uint16_t>(~update(table, initial, frame, covered)) == load_be16(frame + covered);
}

}  // namespace linkscope
