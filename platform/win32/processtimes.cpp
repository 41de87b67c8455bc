// The C runtime's clock() counts wall time on Windows, so the process times come from the system.
#include "platform/processtimes.h"

#include <windows.h>

namespace platform {

namespace {

// FILETIME counts 100-nanosecond units.
double seconds_of(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

}  // namespace

double process_cpu_seconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return seconds_of(kernel) + seconds_of(user);
}

}  // namespace platform
