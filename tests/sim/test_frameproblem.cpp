// The frame validator the simulator tests rely on must refuse each kind of bad frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/blockbuilder.h"
#include "tests/support/capturedevent.h"

namespace {

using namespace testsupport;

struct FrameCase {
    const char* name;
    std::vector<uint8_t> frame;
    uint8_t fcs_mode;
    const char* problem;  // substring of the expected problem, empty for a valid frame
};

class FrameProblem : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameProblem, FindsWhatIsWrong) {
    const FrameCase& c = GetParam();
    const std::string problem = frame_problem(c.fcs_mode, c.frame);
    if (std::string(c.problem).empty())
        EXPECT_EQ(problem, "");
    else
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
}

std::vector<uint8_t> with_wrong_length_byte() {
    auto frame = make_response_frame({1, 2, 3, 4});
    frame[2] = 5;
    return make_frame(frame[0], std::vector<uint8_t>(frame.begin() + 1, frame.end() - 2));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameProblem,
    ::testing::Values(
        FrameCase{"id", make_identifier_frame(0x03, 0x9080), 2, ""},
        FrameCase{"id_mode1", make_identifier_frame(0x05, 0x1234, 1), 1, ""},
        FrameCase{"id_other_mode", make_identifier_frame(0x03, 0x9080, 1), 2, "frame check"},
        FrameCase{"bad_fcs", make_response_frame({1, 2}, 2, false), 2, "frame check"},
        FrameCase{"response", make_response_frame({1, 2, 3}), 2, ""},
        FrameCase{"mode0_zero_fcs", make_response_frame({1, 2, 3}, 0), 0, ""},
        FrameCase{"mode0_nonzero_fcs", make_response_frame({1, 2, 3}, 2), 0, "not 0"},
        FrameCase{"unknown", make_frame(0x55, {1, 2}), 2, "unknown"},
        FrameCase{"id_too_long", make_frame(0x03, {1, 2, 3}), 2, "length"},
        FrameCase{"ack_too_long", make_frame(0x30, {1}), 2, "length"},
        FrameCase{"message_too_short", make_frame(0x14, {1, 2, 3, 4, 5}), 2, "length"},
        FrameCase{"pdu", make_frame(0x02, {0x20, 1, 9}), 2, "PDU"},
        FrameCase{"pdu_bit4_allowed", make_frame(0x02, {0x50, 1, 9}), 2, ""},
        FrameCase{"length_byte", with_wrong_length_byte(), 2, "length byte"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
