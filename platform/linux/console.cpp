#include "platform/console.h"

#include <unistd.h>

namespace platform {

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// Linux terminals process ANSI sequences without being asked.
void enable_terminal_colors() {}

}  // namespace platform
