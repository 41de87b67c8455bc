#include "platform/console.h"

#include <unistd.h>

namespace platform {

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

bool terminal_shows_colors() { return stdout_is_terminal(); }

// Linux terminals process ANSI sequences without being asked.
void enable_terminal_colors() {}

// Terminals here take UTF-8 as it is.
void use_utf8_console_output() {}

// Ctrl+C and a closed terminal reach the process as SIGINT and SIGHUP/SIGTERM already.
void deliver_console_stop_events(void (*)(int)) {}

}  // namespace platform
