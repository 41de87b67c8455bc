#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/protocol.h"
#include "tests/libbusrec/sessionharness.h"

using namespace busrectest;
using testsupport::make_frame;
using testsupport::make_record;

namespace {

// Copies a (packed) field: the comparison macros bind references.
template <class T>
T val(T x) {
    return x;
}


class Analysis : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(h.session(), nullptr);
        ASSERT_EQ(busrec_sess_start(h.session()), 0);
    }
    void TearDown() override { EXPECT_EQ(h.error_calls(), 0); }
    void deliver(const std::vector<std::vector<uint8_t>>& records) { ASSERT_TRUE(h.deliver(records)); }
    uint64_t control_count(uint8_t control) { return h.report()->control_counts[linkscope::ControlByte::report_slot(control)]; }
    SeenEvent last_event() {
        auto events = h.events();
        return events.empty() ? SeenEvent{} : events.back();
    }

    SessionHarness h;
};

struct StatusCase {
    uint16_t bits;
    uint8_t kind;
};

class StatusBits : public Analysis, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusBits, LowestBitGivesTheKindAndEveryBitCounts) {
    const uint16_t status = linkscope::make_status(2, 3, GetParam().bits);
    deliver({make_record(make_frame(0x03, {0x01, 0x00}), 0, 0, status)});
    auto r = h.report();
    EXPECT_EQ(val(last_event().event.error), GetParam().kind);
    for (unsigned bit = 0; bit < 4; ++bit) EXPECT_EQ(val(r->status_bits[bit]), (GetParam().bits >> bit) & 1u) << bit;
    EXPECT_EQ(val(r->error_events), 1u);
    EXPECT_EQ(val(r->correct_events), 0u);
    EXPECT_EQ(control_count(0x03), 0u);  // not analysed further
}

INSTANTIATE_TEST_SUITE_P(Kinds, StatusBits,
                         ::testing::Values(StatusCase{0x1, 1}, StatusCase{0x2, 2}, StatusCase{0x6, 2},
                                           StatusCase{0x4, 3}, StatusCase{0x8, 4}, StatusCase{0xF, 1}));

TEST_F(Analysis, UnknownControlAndFailedCheck) {
    deliver({make_record(make_frame(0x77, {1, 2}), 0)});
    EXPECT_EQ(val(last_event().event.error), BUSREC_EVT_UNKNOWN_CONTROL);
    deliver({make_record(make_frame(0x03, {1, 2}, 2, false), 0)});
    EXPECT_EQ(val(last_event().event.error), BUSREC_EVT_FCS);
    auto r = h.report();
    EXPECT_EQ(val(r->unknown_control), 1u);
    EXPECT_EQ(val(r->fcs_failed), 1u);
    EXPECT_EQ(control_count(0x03), 1u);  // counted before the check
    EXPECT_EQ(val(r->error_events), 2u);
}

TEST_F(Analysis, UnknownFcsModeAcceptsOnlyZeroFcs) {
    const uint16_t mode0 = linkscope::make_status(0, 3);
    deliver({make_record({0x03, 0x01, 0x00, 0x00, 0x00}, 0, 0, mode0),
             make_record({0x03, 0x01, 0x00, 0x12, 0x34}, 0, 0, mode0)});
    auto r = h.report();
    EXPECT_EQ(val(r->correct_events), 1u);
    EXPECT_EQ(val(r->fcs_failed), 1u);
}

TEST_F(Analysis, EmptyFrameIsWrongLength) {
    deliver({make_record({}, 0)});
    EXPECT_EQ(val(last_event().event.error), BUSREC_EVT_LENGTH);
    EXPECT_EQ(val(h.report()->wrong_length), 1u);
}

TEST_F(Analysis, SyncIdentifierCountsAsSyncNotAsIdDat) {
    deliver({id_frame(0x03, 0x9080), id_frame(0x05, 0x9080), id_frame(0x03, 0x0100)});
    auto r = h.report();
    EXPECT_EQ(val(r->sync_frames), 2u);
    EXPECT_EQ(control_count(0x03), 1u);
    EXPECT_EQ(control_count(0x05), 1u);  // a 0x05 frame gives nothing back from the 0x03 counter
    EXPECT_EQ(val(r->correct_events), 3u);
}

TEST_F(Analysis, ContinuityAddsDifferencesToLostAndErrors) {
    deliver({id_frame(0x03, 0x100, 1), id_frame(0x03, 0x100, 2), id_frame(0x03, 0x100, 4),
             id_frame(0x03, 0x100, 0), id_frame(0x03, 0x100, 5)});
    auto r = h.report();
    EXPECT_EQ(val(r->lost_frames), 2u);
    EXPECT_EQ(val(r->error_events), 2u);
    EXPECT_EQ(val(r->correct_events), 5u);
}

TEST_F(Analysis, PresenceAnswerMarksPresentWithNibbles) {
    deliver({id_frame(0x03, 0x1405, 0, 700), response({1, 2, 3, 4, 0xA7}, 0, 710)});
    auto r = h.report();
    EXPECT_EQ(val(r->stations[5].present), 1u);
    EXPECT_EQ(val(r->stations[5].answer_time), 710u);
    EXPECT_EQ(val(r->stations[5].presence_high), 0xAu);
    EXPECT_EQ(val(r->stations[5].presence_low), 0x7u);
}

TEST_F(Analysis, UnansweredPresenceMarksAbsentOnceCounted) {
    deliver({id_frame(0x03, 0x1407, 0, 100), response({0, 0, 0, 0, 0}, 0, 110), id_frame(0x03, 0x1407, 0, 200),
             id_frame(0x03, 0x0100, 0, 300), id_frame(0x03, 0x1407, 0, 400), id_frame(0x03, 0x0100, 0, 500)});
    auto r = h.report();
    const busrec_station& s = r->stations[7];
    EXPECT_EQ(val(s.present), 0u);
    EXPECT_EQ(val(s.missing_time), 500u);
    EXPECT_EQ(val(s.absent_changes), 1u);  // present to absent once; the second miss is no change
    EXPECT_EQ(val(s.answer_time), 110u);
}

TEST_F(Analysis, PresentListBitField) {
    std::vector<uint8_t> data{0x80, 32};
    data.resize(2 + 32, 0);
    data[2] = 0x05;
    deliver({id_frame(0x03, 0x9002, 0, 50), response(data, 0, 60)});
    auto r = h.report();
    EXPECT_EQ(val(r->stations[0].present), 1u);
    EXPECT_EQ(val(r->stations[2].present), 1u);
    EXPECT_EQ(val(r->stations[0].answer_time), 60u);
    for (int absent : {1, 3, 7, 8, 255}) {
        EXPECT_EQ(val(r->stations[absent].present), 0u) << absent;
        EXPECT_EQ(val(r->stations[absent].absent_changes), 1u) << absent;
        EXPECT_EQ(val(r->stations[absent].missing_time), 60u) << absent;
    }
}

std::vector<uint8_t> item(uint8_t tag, const std::string& value) {
    std::vector<uint8_t> out(value.size() + 2);
    out[0] = tag;
    out[1] = static_cast<uint8_t>(value.size());
    std::copy(value.begin(), value.end(), out.begin() + 2);
    return out;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        for (uint8_t b : p) out.push_back(b);
    return out;
}

TEST_F(Analysis, IdentificationTextsAndBytes) {
    deliver({id_frame(0x03, 0x1009),
             response(join({item(0x80, "VENDOR"), item(0x81, "MODEL-X"), item(0x82, "\x2A"), item(0x83, "1.2"),
                            item(0x84, "\x07"), item(0x8A, "TAG-9")}))});
    auto r = h.report();
    const busrec_station& s = r->stations[9];
    EXPECT_STREQ(s.text_80, "VENDOR");
    EXPECT_STREQ(s.text_81, "MODEL-X");
    EXPECT_EQ(val(s.byte_82), 0x2A);
    EXPECT_STREQ(s.text_83, "1.2");
    EXPECT_EQ(val(s.byte_84), 0x07);
    EXPECT_STREQ(s.text_8a, "TAG-9");

    // A shorter text replaces the longer one whole; an unknown tag ends the list.
    deliver({id_frame(0x03, 0x1009), response(join({item(0x80, "AB"), item(0x99, "x"), item(0x81, "NOPE")}))});
    r = h.report();
    EXPECT_STREQ(r->stations[9].text_80, "AB");
    EXPECT_STREQ(r->stations[9].text_81, "MODEL-X");
}

TEST_F(Analysis, LongestTextStaysTerminatedInsideItsField) {
    const std::string longest(127, 'Z');
    std::vector<uint8_t> data = item(0x80, longest);
    deliver({id_frame(0x03, 0x1003), response({data.begin(), data.begin() + 120})});  // truncated item
    EXPECT_EQ(val(h.report()->stations[3].text_80[0]), 0);
    deliver({id_frame(0x03, 0x1003), response(data)});
    auto r = h.report();
    EXPECT_EQ(std::string(r->stations[3].text_80), longest);
    EXPECT_EQ(val(r->stations[3].text_81[0]), 0);
}

TEST_F(Analysis, ListReadsStayInsideTheFrameWhenTheLengthLies) {
    // Declared data length 60, frame holds 4 data bytes: an item claiming 50 bytes is not read.
    std::vector<uint8_t> body{0x40, 60, 0x80, 50, 'A', 'B'};
    deliver({id_frame(0x03, 0x1004), make_record(make_frame(0x02, body), 0)});
    auto event = last_event();
    EXPECT_EQ(val(event.event.error), BUSREC_EVT_LENGTH);
    EXPECT_EQ(val(event.event.data_length), 4u);
    auto r = h.report();
    EXPECT_EQ(val(r->stations[4].text_80[0]), 0);
    EXPECT_EQ(val(r->wrong_length), 1u);
}

TEST_F(Analysis, ValuesPtoT) {
    deliver({id_frame(0x03, 0x1102),
             response({'P', 0x01, 0x02, 'Q', 0x03, 0x04, 'T', 0xFF, 0xFE, 'Z', 0x00, 0x01})});
    auto r = h.report();
    EXPECT_EQ(val(r->stations[2].values[0]), 0x0102);
    EXPECT_EQ(val(r->stations[2].values[1]), 0x0304);
    EXPECT_EQ(val(r->stations[2].values[2]), 0);
    EXPECT_EQ(val(r->stations[2].values[4]), 0xFFFE);
}

TEST_F(Analysis, BusStateVariable) {
    deliver({id_frame(0x03, 0x9003), response({0x80, 0x02, 0x11, 0x22}),
             id_frame(0x03, 0x9003), response({0x80, 0x03, 0x55, 0x66})});
    auto r = h.report();
    EXPECT_EQ(val(r->nm_byte2), 0x11);
    EXPECT_EQ(val(r->nm_byte3), 0x22);
}

TEST_F(Analysis, ResponseChecksAndTimes) {
    auto timed = [](std::vector<uint8_t> record, uint32_t time_b) {
        linkscope::store_be24(record.data() + linkscope::EVT_OFF_TIME_B, time_b);
        return record;
    };
    deliver({id_frame(0x03, 0x0100), response({1}, 0, 0, 0x02, 0x33), timed(id_frame(0x03, 0x0100), 40),
             timed(id_frame(0x03, 0x0200), 120), timed(response({1, 2}, 0, 0, 0x02, 0x50), 30)});
    auto events = h.events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(val(events[1].event.error), BUSREC_EVT_PDU_TYPE);
    EXPECT_EQ(val(events[1].event.word44.response.pdu_type), 0x33);
    EXPECT_EQ(val(events[4].event.error), BUSREC_EVT_OK);  // 0x50 with bit 4 cleared is 0x40
    EXPECT_EQ(val(events[3].event.time_b), 12000u);
    auto r = h.report();
    EXPECT_EQ(val(r->wrong_pdu_type), 1u);
    EXPECT_EQ(val(r->response_time), 3u);     // 30 x 100 / 1000
    EXPECT_EQ(val(r->turnaround_time), 12u);  // the 0x03 after a 0x03: 120 x 100 / 1000
}

TEST_F(Analysis, ClassFields) {
    deliver({id_frame(0x05, 0x0300), make_record(make_frame(0x08, {0x12, 0x34, 0x56, 0x78}), 0),
             make_record(make_frame(0x14, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xAA, 0xBB}), 0),
             make_record(make_frame(0x30, {}), 0)});
    auto events = h.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(val(events[0].event.frame_class), 0u);  // identifier frames have no class
    EXPECT_EQ(val(events[1].event.frame_class), unsigned(BUSREC_CLASS_2));
    EXPECT_EQ(val(events[1].event.data_length), 2u);
    EXPECT_EQ(val(events[1].data), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(val(events[2].event.frame_class), unsigned(BUSREC_CLASS_3));
    EXPECT_EQ(val(events[2].event.word44.class3_b1_3), 0x010203u);
    EXPECT_EQ(val(events[2].event.class3_b4_6), 0x040506u);
    EXPECT_EQ(val(events[2].data), (std::vector<uint8_t>{0xAA, 0xBB}));
    EXPECT_EQ(val(events[2].event.identifier), 0x0300);
    EXPECT_EQ(val(events[3].event.frame_class), 0u);
    EXPECT_EQ(val(events[3].event.data_length), 0u);
    EXPECT_EQ(val(events[3].event.control), 0x30);
}

TEST_F(Analysis, ElapsedFollowsTheLastCorrectEventWhileRunning) {
    const uint64_t start = h.report()->start_time;
    deliver({id_frame(0x03, 0x0100, 0, start + 2500)});
    auto r = h.report();
    EXPECT_EQ(val(r->elapsed), 2500u);
    EXPECT_EQ(val(r->fcs_mode), 2);
    EXPECT_EQ(val(r->period_code), 3);
}

}  // namespace
