// Process scheduling priority.
#pragma once

namespace platform {

// Raises the scheduling priority of the own process to the platform's "high" class.
// A refusal (missing privilege) is ignored: the process then runs at its current priority.
void raise_process_priority();

}  // namespace platform
