// Frame checks of the acquisition: the two CRC tables and the per-control-byte rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/framecheck.h"

class FIPCalculator {
public:
    // The first fault found, in the order the checks run; a frame has at most one.
    enum class Fault { none, unknown_control, fcs, pdu_type, length };

    FIPCalculator();
    virtual ~FIPCalculator() = default;

    // Checks a frame of `length` bytes (control byte through FCS) read in place.
    // An empty frame is not checked and gives none.
    Fault check(const uint8_t* frame, std::size_t length, uint8_t fcs_mode) const;

    // True when the last two bytes hold the correct FCS for fcs_mode 1 or 2.
    bool fcs_is_correct(uint8_t fcs_mode, const uint8_t* frame, std::size_t length) const;

    const linkscope::FrameCheck::Table crc_table_1021;
    const linkscope::FrameCheck::Table crc_table_1dcf;
};
