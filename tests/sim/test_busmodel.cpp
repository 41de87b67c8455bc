#include "sim/busmodel.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "tests/support/capturedevent.h"

namespace {

using linkscope::load_be16;
using sim::BusFrame;
using sim::BusModel;
using sim::SimSettings;

SimSettings settings_of(const std::string& text) {
    SimSettings s;
    std::string error;
    EXPECT_TRUE(SimSettings::parse(text, &s, &error)) << error;
    return s;
}

struct Frame {
    std::vector<uint8_t> bytes;
    BusFrame slot;
};

std::vector<Frame> frames_of_cycles(BusModel& model, uint64_t cycles) {
    std::vector<Frame> frames;
    const uint64_t last = model.cycle() + cycles;
    while (model.cycle() < last) {
        const BusFrame& f = model.current();
        frames.push_back({std::vector<uint8_t>(model.bytes(f), model.bytes(f) + f.length), f});
        model.advance();
    }
    return frames;
}

uint16_t id_of(const Frame& f) { return load_be16(f.bytes.data() + 1); }
bool is_id_dat(const Frame& f) { return f.bytes[0] == linkscope::CTRL_ID_DAT; }
// Class-1 data of a response: frame bytes 3 to n - 3.
std::vector<uint8_t> data_of(const Frame& f) { return std::vector<uint8_t>(f.bytes.begin() + 3, f.bytes.end() - 2); }

TEST(BusModel, DefaultBusCarriesARealisticFrameRate) {
    BusModel model(settings_of("1"), 7);
    const auto frames = frames_of_cycles(model, 100);
    const double seconds = (model.cycle_start_ns() - frames.front().slot.start_ns) / 1e9;
    const double rate = frames.size() / seconds;
    EXPECT_GT(rate, 20000);
    EXPECT_LT(rate, 26000);
    EXPECT_NEAR(seconds, 100 * 0.02, 1e-9) << "default cycles last exactly cycle_us";
}

TEST(BusModel, FrameTimesFollowTheBitRate) {
    BusModel fast(settings_of("bitrate=2500000"), 1);
    BusModel slow(settings_of("bitrate=1000000"), 1);
    // The first frame is the 5-byte ID_DAT of the synchronisation variable.
    EXPECT_EQ(fast.current().length, 5);
    EXPECT_EQ(slow.current().duration_ns * 2, fast.current().duration_ns * 5);
}

TEST(BusModel, FramesNeverOverlapAndALongScanStretchesTheCycle) {
    BusModel model(settings_of("bitrate=31250,stations=30,absent=3,cycle_us=20000"), 1);
    const auto frames = frames_of_cycles(model, 5);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        ASSERT_GE(frames[i].slot.start_ns, frames[i - 1].slot.end_ns()) << "frame " << i;
        ASSERT_EQ(frames[i].slot.silence_ns, frames[i].slot.start_ns - frames[i - 1].slot.end_ns());
    }
    EXPECT_GT(model.cycle_length_ns(0), 20000000u);
}

class BusModelFrames : public ::testing::TestWithParam<uint8_t> {};

TEST_P(BusModelFrames, EveryFrameIsValidForItsControlByteAndFcsMode) {
    const uint8_t mode = GetParam();
    BusModel model(settings_of("stations=20,absent=4,fcs_mode=" + std::to_string(mode)), 3);
    std::set<uint8_t> controls;
    for (const Frame& f : frames_of_cycles(model, 20)) {
        ASSERT_EQ(testsupport::frame_problem(mode, f.bytes), "") << "control " << int(f.bytes[0]);
        controls.insert(f.bytes[0]);
    }
    EXPECT_EQ(controls, (std::set<uint8_t>{0x03, 0x02, 0x05, 0x14, 0x30, 0x09, 0x08}));
}

INSTANTIATE_TEST_SUITE_P(Modes, BusModelFrames, ::testing::Values(0, 1, 2, 3));

// The identification list as the library reads it: tag, length, value; texts or single bytes.
std::map<uint8_t, std::vector<uint8_t>> identification_items(const std::vector<uint8_t>& data) {
    std::map<uint8_t, std::vector<uint8_t>> items;
    std::size_t at = 0;
    while (at + 2 <= data.size()) {
        const uint8_t tag = data[at], length = data[at + 1];
        EXPECT_TRUE(tag == 0x80 || tag == 0x81 || tag == 0x82 || tag == 0x83 || tag == 0x84 || tag == 0x8A) << int(tag);
        EXPECT_EQ(length & 0x80, 0);
        EXPECT_LE(at + 2 + length, data.size());
        items[tag] = std::vector<uint8_t>(data.begin() + at + 2, data.begin() + at + 2 + length);
        at += 2u + length;
    }
    EXPECT_EQ(at, data.size()) << "the item sizes add up to the data length";
    return items;
}

TEST(BusModel, MacrocycleCarriesSyncPeriodicAndTheAperiodicWindow) {
    const unsigned stations = 6, absent = 2;
    BusModel model(settings_of("stations=6,absent=2"), 5);
    std::set<unsigned> checked, answered, identified;
    for (uint64_t c = 0; c < stations; ++c) {
        const auto frames = frames_of_cycles(model, 1);
        ASSERT_GE(frames.size(), 2u);
        EXPECT_TRUE(is_id_dat(frames[0]));
        EXPECT_EQ(id_of(frames[0]), BusModel::SYNC_ID);
        EXPECT_EQ(frames[1].bytes[0], linkscope::CTRL_RP_DAT);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const Frame& f = frames[i];
            if (!is_id_dat(f)) continue;
            const uint16_t id = id_of(f);
            const unsigned station = id & 0xFF;
            const bool answered_here = i + 1 < frames.size() && frames[i + 1].bytes[0] == linkscope::CTRL_RP_DAT;
            const std::vector<uint8_t> data = answered_here ? data_of(frames[i + 1]) : std::vector<uint8_t>{};
            if ((id & 0xFF00) == BusModel::PRESENCE_BASE) {
                checked.insert(station);
                EXPECT_EQ(answered_here, station < stations - absent) << "presence of station " << station;
                if (answered_here) {
                    answered.insert(station);
                    EXPECT_EQ(data.size(), 5u);
                }
            } else if ((id & 0xFF00) == BusModel::IDENTIFICATION_BASE) {
                ASSERT_TRUE(answered_here);
                identified.insert(station);
                const auto items = identification_items(data);
                EXPECT_EQ(items.size(), 6u);
                const std::vector<uint8_t> name = items.at(0x8A);
                EXPECT_EQ(std::string(name.begin(), name.end()), "STATION-00" + std::to_string(station));
                EXPECT_EQ(items.at(0x82).size(), 1u);
            } else if ((id & 0xFF00) == BusModel::REPORT_BASE) {
                ASSERT_TRUE(answered_here);
                ASSERT_EQ(data.size(), 15u);
                for (int k = 0; k < 5; ++k) EXPECT_EQ(data[3 * k], 'P' + k);
            } else if (id == BusModel::PRESENT_LIST_ID) {
                ASSERT_TRUE(answered_here);
                ASSERT_EQ(data.size(), 34u);
                EXPECT_EQ(data[0], 0x80);
                EXPECT_EQ(data[1], 32);
                EXPECT_EQ(data[2], 0x0F) << "stations 0 to 3 present";
                for (std::size_t k = 3; k < data.size(); ++k) EXPECT_EQ(data[k], 0);
            } else if (id == BusModel::BUS_STATUS_ID) {
                ASSERT_TRUE(answered_here);
                ASSERT_EQ(data.size(), 4u);
                EXPECT_EQ(data[0], 0x80);
                EXPECT_EQ(data[1], 0x02);
            }
        }
        // Message exchange then request exchange close the window.
        const std::size_t n = frames.size();
        ASSERT_GE(n, 5u);
        EXPECT_EQ(frames[n - 5].bytes[0], linkscope::CTRL_ID_MSG);
        EXPECT_EQ(frames[n - 4].bytes[0], 0x14);
        EXPECT_EQ(frames[n - 3].bytes[0], 0x30);
        EXPECT_EQ(frames[n - 2].bytes[0], linkscope::CTRL_ID_RQ1);
        EXPECT_EQ(frames[n - 1].bytes[0], 0x08);
        EXPECT_LE(frames[n - 1].slot.end_ns(), model.cycle_start_ns()) << "silence to the end of the cycle";
    }
    EXPECT_EQ(checked, (std::set<unsigned>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(answered, (std::set<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(identified, answered);
}

TEST(BusModel, PeriodicDataChangesFromScanToScan) {
    BusModel model(settings_of("stations=2,absent=0"), 5);
    std::map<uint16_t, std::set<std::vector<uint8_t>>> values;
    std::map<uint16_t, int> seen;
    const auto frames = frames_of_cycles(model, 3);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        const uint16_t id = id_of(frames[i]);
        if (!is_id_dat(frames[i]) || (id >> 8) < 2 || (id >> 8) > 3) continue;
        values[id].insert(data_of(frames[i + 1]));
        ++seen[id];
    }
    ASSERT_EQ(values.size(), 3u) << "station 0 has two variables, station 1 one";
    for (const auto& [id, set] : values) EXPECT_EQ(set.size(), static_cast<std::size_t>(seen[id])) << id;
}

TEST(BusModel, SkipPassesTheSameFramesAsStepping) {
    for (const char* text : {"stations=5,absent=1", "stations=5,absent=1,slow_id=0x0201"}) {
        const SimSettings s = settings_of(text);
        for (uint64_t t : {0ull, 1000ull, 19999999ull, 20000000ull, 123456789ull, 7000000000ull}) {
            BusModel skipping(s, 9), stepping(s, 9);
            const uint64_t skipped = skipping.skip_until(t);
            uint64_t stepped = 0;
            while (stepping.current().start_ns < t) {
                stepping.advance();
                ++stepped;
            }
            EXPECT_EQ(skipped, stepped) << text << " " << t;
            EXPECT_EQ(skipping.current().start_ns, stepping.current().start_ns) << text << " " << t;
            EXPECT_EQ(skipping.cycle(), stepping.cycle()) << text << " " << t;
        }
    }
}

TEST(BusModel, CycleTablesMatchTheCyclesBuilt) {
    for (const char* text : {"stations=7,absent=2", "bitrate=31250,stations=9,absent=1", "stations=1,absent=1",
                             "stations=7,absent=2,slow_id=0x0302", "bitrate=31250,stations=9,slow_id=0x0203"}) {
        BusModel model(settings_of(text), 2);
        for (uint64_t k = 0; k < 12; ++k) {
            const uint64_t start = model.cycle_start_ns();
            const auto frames = frames_of_cycles(model, 1);
            EXPECT_EQ(frames.size(), model.frames_in_cycle(k)) << text << " cycle " << k;
            EXPECT_EQ(model.cycle_start_ns() - start, model.cycle_length_ns(k)) << text;
            EXPECT_LT(frames.back().slot.end_ns(), model.cycle_start_ns()) << text;
        }
    }
}

// The faults for busdump's alerts take frames away and leave their bus time silent: the bus
// with the fault is the plain bus without those frames, every other frame at its time.
// slow_id: every other exchange of its variable (ID_DAT and response); silent: the responses
// of the station to its variables, presence check, identification and values.
struct TakenAway {
    const char* fault;
    bool (*taken)(const std::vector<Frame>& plain, std::size_t i, unsigned& occurrences);
};

bool asks(const Frame& f, uint16_t id) { return is_id_dat(f) && id_of(f) == id; }

const TakenAway TAKEN_AWAY[] = {
    {"slow_id=0x0202",
     [](const std::vector<Frame>& plain, std::size_t i, unsigned& occurrences) {
         if (asks(plain[i], 0x0202)) return occurrences++ % 2 == 1;
         return i > 0 && asks(plain[i - 1], 0x0202) && (occurrences - 1) % 2 == 1;
     }},
    {"silent=2",
     [](const std::vector<Frame>& plain, std::size_t i, unsigned&) {
         if (i == 0 || !is_id_dat(plain[i - 1]) || (id_of(plain[i - 1]) & 0xFF) != 2) return false;
         const unsigned kind = id_of(plain[i - 1]) >> 8;
         return kind == 0x02 || kind == 0x03 || kind == 0x10 || kind == 0x11 || kind == 0x14;
     }},
};

TEST(BusModel, FaultsTakeFramesAwayAndMoveNothingElse) {
    for (const TakenAway& row : TAKEN_AWAY)
        for (const char* bus : {"stations=6,absent=1", "stations=6,absent=1,cycle_us=5000"}) {
            BusModel plain(settings_of(bus), 3), faulty(settings_of(std::string(bus) + "," + row.fault), 3);
            const auto all = frames_of_cycles(plain, 12);
            const auto kept = frames_of_cycles(faulty, 12);
            // Time, length and control byte: the data may differ (silent leaves the present list).
            std::vector<std::tuple<uint64_t, uint16_t, uint8_t>> expected, seen;
            unsigned occurrences = 0;
            std::size_t taken = 0;
            for (std::size_t i = 0; i < all.size(); ++i) {
                if (row.taken(all, i, occurrences))
                    ++taken;
                else
                    expected.emplace_back(all[i].slot.start_ns, all[i].slot.length, all[i].bytes[0]);
            }
            for (const Frame& f : kept) seen.emplace_back(f.slot.start_ns, f.slot.length, f.bytes[0]);
            EXPECT_GT(taken, 10u) << row.fault << " " << bus;
            EXPECT_EQ(seen, expected) << row.fault << " " << bus;
        }
}

TEST(BusModel, AVeryLongCycleIsCappedNotExhausting) {
    BusModel model(settings_of("bitrate=100000000,cycle_us=60000000"), 1);
    EXPECT_LE(model.frames_in_cycle(0), 101000u);
    EXPECT_EQ(model.cycle_length_ns(0), 60000000000ull);
}

TEST(BusModel, BusesWithoutStationsOrWithAllAbsentStillCycle) {
    for (const char* text : {"stations=0,absent=0", "stations=3,absent=3"}) {
        BusModel model(settings_of(text), 1);
        const auto frames = frames_of_cycles(model, 3);
        for (const Frame& f : frames) ASSERT_EQ(testsupport::frame_problem(2, f.bytes), "") << text;
        EXPECT_EQ(id_of(frames[0]), BusModel::SYNC_ID) << text;
    }
}

}  // namespace
