#include "platform/priority.h"

#include <sys/resource.h>

#include <cerrno>

namespace platform {

namespace {
// A nice value that gives the gateway precedence over ordinary processes without
// competing with real-time ones.
constexpr int HIGH_PRIORITY_NICE = -10;
}  // namespace

void raise_process_priority() {
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0);
    // Never lower a priority that someone already set higher.
    if (errno == 0 && current <= HIGH_PRIORITY_NICE) return;
    // Refused without the privilege: the run goes on at the current priority.
    (void)setpriority(PRIO_PROCESS, 0, HIGH_PRIORITY_NICE);
}

}  // namespace platform
