#include "gateway/card/fipcalculator.h"

#include "common/driver/controlbyte.h"
#include "common/driver/protocol.h"

using linkscope::FrameCheck;

FIPCalculator::FIPCalculator()
    : crc_table_1021(FrameCheck::make_table(linkscope::FCS_POLY_1021)),
      crc_table_1dcf(FrameCheck::make_table(linkscope::FCS_POLY_1DCF)) {}

bool FIPCalculator::fcs_is_correct(uint8_t fcs_mode, const uint8_t* frame, std::size_t length) const {
    if (fcs_mode == linkscope::FCS_MODE_1021)
        return FrameCheck::frame_matches(crc_table_1021, linkscope::FCS_INIT_1021, frame, length);
    if (fcs_mode == linkscope::FCS_MODE_1DCF)
        return FrameCheck::frame_matches(crc_table_1dcf, linkscope::FCS_INIT_1DCF, frame, length);
    return false;
}

FIPCalculator::Fault FIPCalculator::check(const uint8_t* frame, std::size_t length, uint8_t fcs_mode) const {
    if (length == 0) return Fault::none;
    const linkscope::ControlRule* rule = linkscope::ControlByte::rule(frame[0]);
    if (!rule) return Fault::unknown_control;
    if (!fcs_is_correct(fcs_mode, frame, length)) return Fault::fcs;
    // A correct FCS implies at least 3 bytes, so frame[1] is inside the frame.
    if (rule->pdu_checked && (frame[1] & linkscope::PDU_TYPE_MASK) != linkscope::PDU_TYPE_EXPECTED)
        return Fault::pdu_type;
    if (length < rule->min_length || length > rule->max_length) return Fault::length;
    return Fault::none;
}
