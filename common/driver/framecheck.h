// Table-driven CRC-16 frame check sequence of FIP frames, for both fcs_modes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace linkscope {

class FrameCheck {
public:
    using Table = std::array<uint16_t, 256>;

    // Entry i: i << 8 shifted left 8 times, XOR-ing the polynomial when bit 15 falls out.
    static Table make_table(uint16_t polynomial);

    // The two tables, built once on first use.
    static const Table& table_1021();
    static const Table& table_1dcf();

    // Running CRC over bytes, MSB first, without the final complement. Inline: every receiver
    // runs it on every frame.
    static uint16_t update(const Table& table, uint16_t crc, const uint8_t* bytes, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i)
            crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ bytes[i]) & 0xFF]);
        return crc;
    }

    // Complemented CRC of `length` bytes for fcs_mode 1 or 2. Returns false for any other mode.
    static bool compute(uint8_t fcs_mode, const uint8_t* bytes, std::size_t length, uint16_t* fcs);

    // True when the frame (control byte through its 2 FCS bytes) carries a correct FCS for the mode.
    // Frames of 2 bytes or less and modes other than 1 and 2 never pass.
    static bool frame_is_correct(uint8_t fcs_mode, const uint8_t* frame, std::size_t frame_length);

    // The same check with a given table and initial value (for holders of their own tables).
    static bool frame_matches(const Table& table, uint16_t initial, const uint8_t* frame, std::size_t frame_length);
};

}  // namespace linkscope
