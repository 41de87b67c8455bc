// Scheduling priority of single threads.
#pragma once

#include <thread>

namespace platform {

// Asks for the FIFO policy at its highest priority for `thread`. Without the privilege for that,
// takes the highest FIFO priority the resource limit allows, and failing that leaves the thread
// at its normal scheduling. Returns the FIFO priority granted, or -1 when none was.
int request_highest_fifo_priority(std::thread& thread);

// Keeps `thread` in the default scheduling policy at the highest priority that policy has.
// Returns false when the system refuses.
bool request_highest_default_priority(std::thread& thread);

}  // namespace platform
