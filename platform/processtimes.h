// CPU time of the own process.
#pragma once

namespace platform {

// CPU time that all threads of this process have used so far, user and system, in seconds.
double process_cpu_seconds();

}  // namespace platform
