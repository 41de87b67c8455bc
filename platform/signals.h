// Process signals beyond the stop signals: a closed output, a request to reopen the log, and a
// recorder's request to keep what it recorded.
#pragma once

#include <atomic>
#include <cstdio>

namespace platform {

// Writes to a closed pipe or socket (the reader of standard output went away) fail with an
// error instead of ending the process.
void ignore_closed_output();

// Calls `handler` with the signal number when the log file is to be reopened: on Linux the
// hang-up signal, which log rotation sends and which a closed terminal or ssh session raises.
// The handler runs in signal context and may only set lock-free atomics.
void on_log_reopen_request(void (*handler)(int));

// Raises `flag` the moment SIGINT or SIGTERM arrives (in signal context), ahead of the handlers
// installed for them before, an event loop's, which then run as they did. For waits that the
// event loop cannot end, such as a write blocked on a pipe. Windows: the flag stays down
// (a stop there ends the process or closes the pipe). A later call names another flag, or none
// (nullptr) before the flag goes away.
void raise_on_stop_signal(std::atomic<bool>* flag);

// The signal with which an operator asks a running recorder to keep the minutes around now
// (SIGUSR1 on Linux); 0 where the system has no such signal (Windows).
int keep_request_signal();

// Points `stream` at the file `path`, opened for appending (created when missing), keeping the
// same stream object: whoever holds the stream writes to the new file from then on. Pending
// output goes to the old file first. False when `path` cannot be opened; the stream then
// goes on writing where it did.
bool reopen_append(FILE* stream, const char* path);

}  // namespace platform
