// Service wrapper and signal handling: both end a run by clearing `running`.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/eventlog.h"
#include "platform/servicemanager.h"

extern const char* const SERVICE_NAME;

extern platform::ServiceStatus svc_status;
extern platform::ServiceStatusHandle svc_status_hnd;

// Service main function: registers the control handler, reports start pending, runs the
// application and reports stopped with its result.
void winsvc_main(uint32_t argc, char** argv);
void winsvc_ctrl_handler(uint32_t control);
void winsvc_state_update(uint32_t state, uint32_t exit_code);
// Reports stop pending when the running service was asked to stop by a signal (a service
// manager's stop on Linux is SIGTERM); nothing when a stop control has reported it already.
void winsvc_report_stop_pending();
// While running: the live summary, and the sign of life the manager's watchdog waits for.
void winsvc_report_summary(const std::string& summary);
void winsvc_report_alive();

// The calls through which a service run also writes its error lines to the system's event log
// under the service's name: the platform's unless a test gives a double.
void set_service_event_log_calls(const platform::EventLogCalls& calls);

// Hands the process to the service dispatcher; returns the exit status of the service run: 0,
// or after a failed run the Win32 exit code where an exit status holds it (1066 on Windows, 1
// where an exit status has 8 bits).
int run_as_service();

// Handler of SIGINT and SIGTERM: clears `running`, records the signal and gives the signal its
// default action back, so that a second one ends the process at once. Other signals are ignored.
void handle_signal(int signal_number);
// Installs handle_signal for both signals and for the console's stop events that stand for them.
void install_signal_handlers();

// Forgets a signal or stop control recorded earlier (start of a run).
void clear_stop_request();
// Whether a signal or stop control asked the run to end.
bool stop_requested();
// Writes the event line of each recorded stop signal to `log` once, in the order they came,
// outside the handler where the stream's lock may be held by the interrupted thread.
void report_stop_request(FILE* log);
// Whether the log file is to be reopened (SIGHUP), clearing the request.
bool take_log_reopen_request();
