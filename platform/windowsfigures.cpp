#include "platform/windowsfigures.h"

namespace platform {

namespace {
constexpr uint32_t FIRST_COLOUR_MAJOR = 10;
constexpr uint32_t LAST_BUILD_WITHOUT_COLOUR = 10585;
constexpr double ZERO_CELSIUS_IN_KELVIN = 273.15;
constexpr double TENTHS = 10.0;
}  // namespace

bool console_shows_colors(const WindowsVersion& version) {
    if (version.major != FIRST_COLOUR_MAJOR) return version.major > FIRST_COLOUR_MAJOR;
    return version.minor != 0 || version.build > LAST_BUILD_WITHOUT_COLOUR;
}

float celsius_from_tenths_of_kelvin(int32_t tenths_of_kelvin) {
    return static_cast<float>(tenths_of_kelvin / TENTHS - ZERO_CELSIUS_IN_KELVIN);
}

}  // namespace platform
