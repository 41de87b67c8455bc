// The per-sender analysis of busdump --analyze on a small synthetic bus: every macrocycle of
// 1000 us carries the sync variable, 0x0201 (produced by station 1) and an unanswered presence
// question to station 2.
#include <gtest/gtest.h>

#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "tools/busdump/alertwatch.h"
#include "tools/busdump/senderanalysis.h"

using busdump::SenderAnalysis;

namespace {

constexpr uint8_t FCS_MODE = 2;
constexpr uint64_t CYCLE_US = 1000;

class Bus {
public:
    explicit Bus(SenderAnalysis& analysis) : analysis_(analysis) {}

    void frame(std::vector<uint8_t> body, uint64_t time, bool bad_fcs = false) {
        uint16_t fcs = 0;
        linkscope::FrameCheck::compute(FCS_MODE, body.data(), body.size(), &fcs);
        if (bad_fcs) fcs ^= 1;
        body.resize(body.size() + 2);
        linkscope::store_be16(&body[body.size() - 2], fcs);
        linkscope::EventHeader header;
        header.status = linkscope::make_status(FCS_MODE, 3);
        header.index = ++index_;
        header.timestamp = time;
        std::vector<uint8_t> record;
        linkscope::append_event_record(record, header, body.data(), body.size());
        analysis_.add_event(linkscope::EventRecord(record.data(), record.size()), busdump::FcsResult::short_frame);
    }
    void id(uint16_t identifier, uint64_t time) {
        frame({0x03, static_cast<uint8_t>(identifier >> 8), static_cast<uint8_t>(identifier)}, time);
    }
    void answer(uint64_t time, bool bad_fcs = false) { frame({0x02, 0x40, 2, 0x12, 0x34}, time, bad_fcs); }
    void presence_answer(uint64_t time) { frame({0x02, 0x40, 5, 0, 1, 1, 0, 0x21}, time); }

    // Macrocycle k; `variable_offset` moves 0x0201 within it, `with_variable` leaves it out.
    void cycle(uint64_t k, uint64_t variable_offset = 100, bool with_variable = true, bool bad_answer = false) {
        const uint64_t start = 10000 + k * CYCLE_US;
        id(0x9080, start);
        answer(start + 20);
        if (with_variable) {
            id(0x0201, start + variable_offset);
            answer(start + variable_offset + 20, bad_answer);
        }
        id(0x1402, start + 500);
    }

private:
    SenderAnalysis& analysis_;
    uint64_t index_ = 0;
};

const SenderAnalysis::Identifier& entry(const SenderAnalysis& analysis, uint16_t identifier) {
    for (const auto& e : analysis.identifiers())
        if (e.identifier == identifier) return e;
    throw std::runtime_error("identifier not seen");
}

}  // namespace

TEST(SenderAnalysis, StationsIdentifiersAndMacrocycleOfAHealthyBus) {
    SenderAnalysis analysis(0x9080, 0.1);
    Bus bus(analysis);
    for (uint64_t k = 0; k < 10; ++k) bus.cycle(k);
    bus.id(0x9080, 10000 + 10 * CYCLE_US);

    EXPECT_EQ(analysis.macrocycle().completed, 10u);
    EXPECT_EQ(analysis.macrocycle().lengths.mean(), double(CYCLE_US));
    EXPECT_EQ(analysis.macrocycle_identifiers(), (std::vector<uint16_t>{0x9080, 0x0201, 0x1402}));
    const auto& variable = entry(analysis, 0x0201);
    EXPECT_EQ(variable.count, 10u);
    EXPECT_EQ(variable.answered, 10u);
    EXPECT_EQ(variable.periods.mean(), double(CYCLE_US));
    EXPECT_EQ(variable.late + variable.missed, 0u);
    EXPECT_EQ(analysis.station(1).frames, 10u);
    EXPECT_EQ(analysis.station(2).missed_presence, 10u);
    EXPECT_TRUE(analysis.station_seen(2));
    EXPECT_FALSE(analysis.station_seen(3));
    EXPECT_EQ(analysis.station(0x80).frames, 0u) << "the sync variable is the arbiter's";
}

// A gateway restarted after a pause: nothing measured spans the pause.
TEST(SenderAnalysis, NoPeriodOrMacrocycleSpansARestart) {
    SenderAnalysis analysis(0x9080, 0.1);
    Bus bus(analysis);
    for (uint64_t k = 0; k < 5; ++k) bus.cycle(k, 100 + 10 * (k == 4));  // the first run ends in mid-cycle
    analysis.begin_run();
    for (uint64_t k = 2000; k < 2005; ++k) bus.cycle(k);
    const auto& variable = entry(analysis, 0x0201);
    EXPECT_EQ(variable.count, 10u);
    EXPECT_EQ(variable.periods.count(), 8u);
    EXPECT_EQ(variable.periods.max(), CYCLE_US + 10);
    EXPECT_EQ(variable.last_period_us, CYCLE_US);
    EXPECT_EQ(analysis.macrocycle().lengths.max(), CYCLE_US);
    EXPECT_EQ(analysis.macrocycle().completed, 8u);
}

TEST(SenderAnalysis, FaultsAreCountedWhereTheyBelong) {
    struct Case {
        const char* name;
        uint64_t offset;  // of 0x0201 in cycle 6
        bool with_variable;
        bool bad_answer;
        uint64_t late, missed, frame_check;
    };
    const std::vector<Case> cases = {
        {"on time", 100, true, false, 0, 0, 0},
        {"late by 30 %", 400, true, false, 1, 0, 0},
        {"late within tolerance", 150, true, false, 0, 0, 0},
        {"missing in one macrocycle", 100, false, false, 0, 1, 0},
        {"answer with a bad frame check", 100, true, true, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SenderAnalysis analysis(0x9080, 0.1);
        Bus bus(analysis);
        for (uint64_t k = 0; k < 12; ++k)
            if (k == 6)
                bus.cycle(k, c.offset, c.with_variable, c.bad_answer);
            else
                bus.cycle(k);
        bus.id(0x9080, 10000 + 12 * CYCLE_US);
        const auto& variable = entry(analysis, 0x0201);
        EXPECT_EQ(variable.late, c.late);
        EXPECT_EQ(variable.missed, c.missed);
        EXPECT_EQ(analysis.station(1).errors.frame_check, c.frame_check);
        EXPECT_EQ(analysis.macrocycle_identifiers().size(), 3u) << "one fault does not drop it from the macrocycle";
    }
}

TEST(SenderAnalysis, IdentifiersBeyondTheLimitAreCountedNotFollowed) {
    SenderAnalysis analysis(0x9080, 0.1);
    Bus bus(analysis);
    const std::size_t extra = 10;
    for (std::size_t i = 0; i < SenderAnalysis::MAX_IDENTIFIERS + extra; ++i) bus.id(static_cast<uint16_t>(i), i);
    EXPECT_EQ(analysis.identifiers().size(), SenderAnalysis::MAX_IDENTIFIERS);
    EXPECT_EQ(analysis.untracked_frames(), extra);
}

// A baseline of the bus above with station 1 answering its presence questions; faults come
// and go, each alert is told once raised and once cleared.
TEST(AlertWatch, EachChangeIsToldWhenItStartsAndWhenItEnds) {
    busdump::BaselineSender baseline;
    baseline.stations = {{1, 0.0}};
    baseline.identifiers = {{0x9080, {1000, 1000, 1000}}, {0x0201, {1000, 1000, 1000}}, {0x1401, {1000, 1000, 1000}}};
    SenderAnalysis analysis(0x9080, 0.1);
    busdump::AlertWatch watch(baseline, 0.1, 1.0);
    Bus bus(analysis);
    std::vector<busdump::Alert> alerts;
    auto cycle = [&](uint64_t k, bool station_answers, bool with_variable, bool stranger) {
        const uint64_t start = 10000 + k * CYCLE_US;
        bus.id(0x9080, start);
        if (watch.checked_cycles() != analysis.macrocycle().completed) watch.check(analysis, alerts);
        bus.answer(start + 20);
        if (with_variable) {
            bus.id(0x0201, start + 100);
            bus.answer(start + 120);
        }
        if (stranger) bus.id(0x0777, start + 300);
        bus.id(0x1401, start + 500);
        if (station_answers) bus.presence_answer(start + 520);
    };
    uint64_t k = 0;
    for (; k < 10; ++k) cycle(k, true, true, false);
    EXPECT_TRUE(alerts.empty()) << alerts.front().kind;
    for (; k < 15; ++k) cycle(k, false, true, false);  // station 1 stops answering
    EXPECT_EQ(watch.active_count("station_missing"), 1u);
    for (; k < 20; ++k) cycle(k, true, true, false);
    for (; k < 26; ++k) cycle(k, true, k % 2 == 0, false);  // 0x0201 every other macrocycle
    for (; k < 30; ++k) cycle(k, true, true, false);
    cycle(k++, true, true, true);  // an identifier not in the baseline, once
    for (; k < 1100; ++k) cycle(k, true, true, false);

    std::vector<std::string> told;
    for (const auto& a : alerts) told.push_back(a.kind + " " + a.subject + (a.raised ? " raised" : " cleared"));
    EXPECT_EQ(told, (std::vector<std::string>{"station_missing 1 raised", "station_missing 1 cleared",
                                              "period 0x0201 raised", "period 0x0201 cleared",
                                              "identifier_new 0x0777 raised", "identifier_new 0x0777 cleared"}));
    EXPECT_TRUE(watch.active().empty());
    // What the metrics count: each raised once, none raised now.
    for (const char* kind : {"station_missing", "period", "identifier_new"}) {
        EXPECT_EQ(watch.raised(kind), 1u) << kind;
        EXPECT_EQ(watch.active_count(kind), 0u) << kind;
    }
    EXPECT_EQ(watch.raised("error_rate"), 0u);
}
