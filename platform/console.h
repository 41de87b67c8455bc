// Console seams: the logger's colour check, colour processing, and the console's own stop events.
#pragma once

namespace platform {

// Whether standard output is a terminal (a console on Windows).
bool stdout_is_terminal();

// Whether the terminal of this host shows ANSI colour sequences: on Linux when standard output
// is a terminal; on Windows from Windows 10 build 10586 on, where the console learned them.
bool terminal_shows_colors();

// Switches the console of standard output to ANSI sequence processing where the platform
// needs that; a failure is ignored.
void enable_terminal_colors();

// Makes the console show the UTF-8 text the dashboard writes (the degree sign) until the process
// ends, where the console's code page is another one (Windows); nothing where it is UTF-8 already.
void use_utf8_console_output();

// Delivers the console's own stop events as the signal numbers that end a run elsewhere: on
// Windows, Ctrl+C and Ctrl+Break as SIGINT and closing the console window as SIGTERM. The
// first event is delivered; later ones get the platform's default action (the process ends).
// Nothing to do where the events already arrive as signals.
void deliver_console_stop_events(void (*handler)(int signal_number));

}  // namespace platform
