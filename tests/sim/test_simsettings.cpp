#include "sim/simsettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::SimSettings;
using sim::SimSpeed;

TEST(SimSettings, OneMeansAllDefaults) {
    SimSettings s;
    std::string error;
    ASSERT_TRUE(SimSettings::parse("1", &s, &error)) << error;
    EXPECT_EQ(s.devices, std::vector<int>{1});
    EXPECT_EQ(s.stations, 16u);
    EXPECT_EQ(s.absent, 2u);
    EXPECT_EQ(s.cycle_us, 20000u);
    EXPECT_EQ(s.bitrate, 2500000u);
    EXPECT_EQ(s.fcs_mode, 2);
    EXPECT_EQ(s.period_code, 3);
    EXPECT_EQ(s.irq_us, 5000u);
    EXPECT_EQ(s.speed, SimSpeed::real);
    EXPECT_EQ(s.seed, 1u);
    EXPECT_FALSE(s.unplug);
    EXPECT_TRUE(s.replay.empty());
}

TEST(SimSettings, EveryKeyIsRead) {
    SimSettings s;
    std::string error;
    ASSERT_TRUE(SimSettings::parse("cards=3, stations=40,absent=5,cycle_us=10000,bitrate=1000000,fcs_mode=1,"
                                   "period_code=6,irq_us=2000,speed=max,fcs_err=0.5,loss=0.25,status_err=1,"
                                   "unknown=0.001,seed=99,unplug_ms=0,replay=/x/y,slow_id=0x0203,silent=7",
                                   &s, &error))
        << error;
    EXPECT_EQ(s.devices, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(s.stations, 40u);
    EXPECT_EQ(s.absent, 5u);
    EXPECT_EQ(s.present_stations(), 35u);
    EXPECT_EQ(s.cycle_us, 10000u);
    EXPECT_EQ(s.bitrate, 1000000u);
    EXPECT_EQ(s.fcs_mode, 1);
    EXPECT_EQ(s.period_code, 6);
    EXPECT_EQ(s.irq_us, 2000u);
    EXPECT_EQ(s.speed, SimSpeed::max);
    EXPECT_DOUBLE_EQ(s.fcs_err, 0.5);
    EXPECT_DOUBLE_EQ(s.loss, 0.25);
    EXPECT_DOUBLE_EQ(s.status_err, 1.0);
    EXPECT_DOUBLE_EQ(s.unknown, 0.001);
    EXPECT_EQ(s.seed, 99u);
    EXPECT_TRUE(s.unplug);
    EXPECT_EQ(s.unplug_ms, 0u);
    EXPECT_EQ(s.replay, "/x/y");
    EXPECT_EQ(s.slow_id, 0x0203);
    EXPECT_EQ(s.silent, 7);
}

TEST(SimSettings, DevicesListsExplicitNumbersAndLaterSettingsWin) {
    SimSettings s;
    std::string error;
    ASSERT_TRUE(SimSettings::parse("devices=3+5+255,speed=max,speed=real", &s, &error)) << error;
    EXPECT_EQ(s.devices, (std::vector<int>{3, 5, 255}));
    EXPECT_EQ(s.speed, SimSpeed::real);
}

struct BadSetting {
    const char* text;
    const char* key_in_error;
};

class SimSettingsRefuses : public ::testing::TestWithParam<BadSetting> {};

TEST_P(SimSettingsRefuses, WithOneLineNamingTheKey) {
    SimSettings s;
    s.stations = 77;
    std::string error;
    EXPECT_FALSE(SimSettings::parse(GetParam().text, &s, &error));
    EXPECT_NE(error.find(GetParam().key_in_error), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(s.stations, 77u) << "a refused text leaves the settings alone";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimSettingsRefuses,
    ::testing::Values(BadSetting{"colour=blue", "colour"}, BadSetting{"stations=abc", "stations"},
                      BadSetting{"stations=257", "stations"}, BadSetting{"stations=-1", "stations"},
                      BadSetting{"absent=20", "absent"}, BadSetting{"stations=4,absent=5", "absent"},
                      BadSetting{"cards=0", "cards"}, BadSetting{"cards=256", "cards"},
                      BadSetting{"devices=0", "devices"}, BadSetting{"devices=3+3", "devices"},
                      BadSetting{"devices=3+", "devices"}, BadSetting{"devices=07", "devices"},
                      BadSetting{"cards=2,devices=4", "devices"}, BadSetting{"cycle_us=0", "cycle_us"},
                      BadSetting{"bitrate=12x", "bitrate"}, BadSetting{"bitrate=1000000001", "bitrate"},
                      BadSetting{"fcs_mode=4", "fcs_mode"},
                      BadSetting{"period_code=8", "period_code"}, BadSetting{"irq_us=", "irq_us"},
                      BadSetting{"speed=fast", "speed"}, BadSetting{"fcs_err=1.5", "fcs_err"},
                      BadSetting{"loss=-0.1", "loss"}, BadSetting{"status_err=nan", "status_err"},
                      BadSetting{"unknown=0.1x", "unknown"}, BadSetting{"seed=18446744073709551616", "seed"},
                      BadSetting{"unplug_ms=soon", "unplug_ms"}, BadSetting{"replay=", "replay"},
                      BadSetting{"replay_serial=0", "replay_serial"}, BadSetting{"replay_serial=0x1g", "replay_serial"},
                      BadSetting{"replay_serial=0x100000000", "replay_serial"},
                      BadSetting{"slow_id=0", "slow_id"}, BadSetting{"silent=256", "silent"}, BadSetting{"slow_id=0x10000", "slow_id"},
                      BadSetting{"stations", "stations"}, BadSetting{"speed=max,,seed=2", "empty"}));

}  // namespace
