#include "platform/windowsfigures.h"

#include <gtest/gtest.h>

namespace {

using platform::WindowsVersion;

TEST(ConsoleColours, FromWindows10Build10586On) {
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{6, 1, 7601}));
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{6, 3, 9600}));
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{6, 3, 99999}));
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{10, 0, 10240}));
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{10, 0, 10585}));
    EXPECT_TRUE(platform::console_shows_colors(WindowsVersion{10, 0, 10586}));
    EXPECT_TRUE(platform::console_shows_colors(WindowsVersion{10, 0, 22631}));
    EXPECT_TRUE(platform::console_shows_colors(WindowsVersion{10, 1, 0}));
    EXPECT_TRUE(platform::console_shows_colors(WindowsVersion{11, 0, 0}));
    EXPECT_FALSE(platform::console_shows_colors(WindowsVersion{}));
}

TEST(ThermalZone, TenthsOfKelvinToCelsius) {
    EXPECT_NEAR(platform::celsius_from_tenths_of_kelvin(3032), 30.05f, 1e-4f);
    EXPECT_NEAR(platform::celsius_from_tenths_of_kelvin(2732), 0.05f, 1e-4f);
    EXPECT_NEAR(platform::celsius_from_tenths_of_kelvin(0), -273.15f, 1e-3f);
    EXPECT_NEAR(platform::celsius_from_tenths_of_kelvin(-10), -274.15f, 1e-3f);
}

}  // namespace
