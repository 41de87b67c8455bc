#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/driver/framecheck.h"
#include "gateway/card/fipcalculator.h"
#include "tests/support/blockbuilder.h"

using Fault = FIPCalculator::Fault;
using testsupport::make_frame;

namespace {

struct FrameCase {
    const char* name;
    std::vector<uint8_t> frame;
    uint8_t fcs_mode;
    Fault expected;
};

std::vector<uint8_t> body(std::size_t n, uint8_t first = 0x40) {
    std::vector<uint8_t> b(n, 0x11);
    if (n) b[0] = first;
    return b;
}

// Frame of total length n (control byte + body + 2 FCS bytes).
std::vector<uint8_t> frame_of_length(uint8_t control, std::size_t n, uint8_t fcs_mode = 2, uint8_t byte1 = 0x40) {
    return make_frame(control, body(n - 3, byte1), fcs_mode);
}

class FrameChecks : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameChecks, FirstFaultIsCounted) {
    const FrameCase& c = GetParam();
    FIPCalculator calc;
    EXPECT_EQ(calc.check(c.frame.data(), c.frame.size(), c.fcs_mode), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    PerControlByte, FrameChecks,
    ::testing::Values(
        FrameCase{"ack_3_clean", frame_of_length(0x40, 3), 2, Fault::none},
        FrameCase{"ack_4_length", frame_of_length(0x40, 4), 2, Fault::length},
        FrameCase{"id_dat_5_clean", frame_of_length(0x03, 5), 2, Fault::none},
        FrameCase{"id_dat_6_length", frame_of_length(0x03, 6), 2, Fault::length},
        FrameCase{"id_rq2_4_length", frame_of_length(0x29, 4, 1), 1, Fault::length},
        FrameCase{"rp_dat_5_clean", frame_of_length(0x02, 5), 2, Fault::none},
        FrameCase{"rp_dat_131_clean", frame_of_length(0x02, 131), 2, Fault::none},
        FrameCase{"rp_dat_132_length", frame_of_length(0x02, 132), 2, Fault::length},
        FrameCase{"rp_dat_4_length", frame_of_length(0x02, 4), 2, Fault::length},
        FrameCase{"rp_dat_pdu_50_clean", frame_of_length(0x2E, 8, 2, 0x50), 2, Fault::none},
        FrameCase{"rp_dat_pdu_41", frame_of_length(0x02, 8, 2, 0x41), 2, Fault::pdu_type},
        // A wrong PDU type hides a wrong length as well.
        FrameCase{"rp_dat_pdu_41_too_long", frame_of_length(0x02, 200, 2, 0x41), 2, Fault::pdu_type},
        FrameCase{"rp_rq1_no_pdu_check", frame_of_length(0x08, 8, 2, 0x41), 2, Fault::none},
        FrameCase{"rp_msg_9_clean", frame_of_length(0x14, 9), 2, Fault::none},
        FrameCase{"rp_msg_265_clean", frame_of_length(0x94, 265, 1), 1, Fault::none},
        FrameCase{"rp_msg_266_length", frame_of_length(0x04, 266), 2, Fault::length},
        FrameCase{"rp_msg_8_length", frame_of_length(0x04, 8), 2, Fault::length},
        FrameCase{"unknown_control", frame_of_length(0x07, 5), 2, Fault::unknown_control},
        FrameCase{"unknown_beats_bad_fcs", make_frame(0xFF, body(2), 2, false), 2, Fault::unknown_control},
        FrameCase{"bad_fcs", make_frame(0x03, body(2), 2, false), 2, Fault::fcs},
        FrameCase{"bad_fcs_beats_pdu", make_frame(0x02, body(2, 0x41), 2, false), 2, Fault::fcs},
        FrameCase{"fcs_mode_0", frame_of_length(0x03, 5, 0), 0, Fault::fcs},
        FrameCase{"fcs_mode_3", frame_of_length(0x40, 3, 3), 3, Fault::fcs},
        FrameCase{"mode_1_frame_under_mode_2", frame_of_length(0x03, 5, 1), 2, Fault::fcs},
        FrameCase{"mode_2_frame_under_mode_1", frame_of_length(0x03, 5, 2), 1, Fault::fcs},
        FrameCase{"one_byte_frame", std::vector<uint8_t>{0x40}, 2, Fault::fcs},
        FrameCase{"two_byte_frame", std::vector<uint8_t>{0x40, 0x00}, 2, Fault::fcs},
        FrameCase{"empty_frame", std::vector<uint8_t>{}, 2, Fault::none}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

TEST(FIPCalculatorTables, AreTheSharedFrameCheckTables) {
    FIPCalculator calc;
    EXPECT_EQ(calc.crc_table_1021, linkscope::FrameCheck::table_1021());
    EXPECT_EQ(calc.crc_table_1dcf, linkscope::FrameCheck::table_1dcf());
    EXPECT_NE(calc.crc_table_1021, calc.crc_table_1dcf);
}

}  // namespace
