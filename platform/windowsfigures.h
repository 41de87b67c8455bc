// Decisions and conversions on figures that Windows reports, kept pure so that every case can be
// checked on any host.
#pragma once

#include <cstdint>

namespace platform {

struct WindowsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
};

// The console processes ANSI sequences from Windows 10 build 10586 on.
bool console_shows_colors(const WindowsVersion& version);

// A thermal zone's temperature as ACPI reports it, in tenths of a kelvin, in degrees Celsius.
float celsius_from_tenths_of_kelvin(int32_t tenths_of_kelvin);

}  // namespace platform
