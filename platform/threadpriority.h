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

// Puts the calling thread below the process's others in the default policy (nice 10 more on
// Linux, below normal on Windows): for work that serves observers and must never hold up the
// thread that receives, on a machine with fewer free cores than busy threads. Returns false
// when the system refuses.
bool lower_calling_thread_priority();

}  // namespace platform
