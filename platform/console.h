// Console seams used by the logger's colour check.
#pragma once

namespace platform {

// Whether standard output is a terminal that shows ANSI colour sequences.
bool stdout_is_terminal();

// Switches the console of standard output to ANSI sequence processing where the platform
// needs that; a failure is ignored.
void enable_terminal_colors();

}  // namespace platform
