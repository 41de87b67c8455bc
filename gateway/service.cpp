#include "gateway/service.h"

#include <csignal>
#include <mutex>

#include "gateway/app.h"
#include "gateway/appcfg.h"
#include "gateway/logger.h"
#include "platform/console.h"
#include "platform/signals.h"

const char* const SERVICE_NAME = "BusgateSvc";

platform::ServiceStatus svc_status{};
platform::ServiceStatusHandle svc_status_hnd = nullptr;

namespace {

constexpr uint32_t CONTROLS_WHILE_RUNNING = platform::SVC_ACCEPT_STOP | platform::SVC_ACCEPT_SHUTDOWN;
static_assert(CONTROLS_WHILE_RUNNING == 5, "stop and shutdown are accepted while running");

// The stop signals that came and not yet logged: one bit each, and which came first.
constexpr unsigned SIGINT_BIT = 1u;
constexpr unsigned SIGTERM_BIT = 2u;
std::atomic<unsigned> requested_stops{0};
std::atomic<int> first_stop{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "written from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

// A request to reopen the log file, not yet served.
std::atomic<bool> log_reopen_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "written from a signal handler");

unsigned stop_bit(int signal_number) { return signal_number == SIGTERM ? SIGTERM_BIT : SIGINT_BIT; }

// The control handler (dispatcher thread) and the service thread both report.
std::mutex status_mutex;

void request_stop(int signal_number) {
    // Recorded before the flag is cleared: the watch loop checks it after setting the flag.
    int none = 0;
    first_stop.compare_exchange_strong(none, signal_number);
    requested_stops.fetch_or(stop_bit(signal_number));
    running.store(0);
}

void handle_log_reopen(int /*signal_number*/) { log_reopen_requested.store(true); }

// The event log of the service run in progress, where every error line also goes.
platform::EventLogCalls event_log_calls = platform::system_event_log_calls();
std::atomic<platform::EventLog*> service_event_log{nullptr};

void report_to_event_log(const char* message) {
    if (platform::EventLog* log = service_event_log.load()) (void)log->report_error(message);
}

void log_stop_line(FILE* log, int signal_number) {
    logger::print(log, logger::EVENT, signal_number == SIGTERM ? "SIGTERM signal received\n" : "SIGINT signal received\n");
}

}  // namespace

void winsvc_state_update(uint32_t state, uint32_t exit_code) {
    std::lock_guard<std::mutex> lock(status_mutex);
    if (state == platform::SVC_START_PENDING) {
        svc_status = platform::ServiceStatus{};
        svc_status.service_type = platform::SVC_WIN32_OWN_PROCESS;
    }
    svc_status.current_state = state;
    svc_status.controls_accepted = state == platform::SVC_RUNNING ? CONTROLS_WHILE_RUNNING : 0;
    svc_status.service_specific_exit_code = exit_code;
    svc_status.win32_exit_code = exit_code != 0 ? platform::SVC_ERROR_SPECIFIC_EXIT : 0;
    svc_status.check_point = 0;
    (void)platform::set_service_status(svc_status_hnd, &svc_status);
}

void winsvc_report_stop_pending() {
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        // Only a running service that has not reported it yet (a stop control already has).
        if (svc_status_hnd == nullptr || svc_status.current_state != platform::SVC_RUNNING) return;
    }
    winsvc_state_update(platform::SVC_STOP_PENDING, 0);
}

void winsvc_report_summary(const std::string& summary) {
    std::lock_guard<std::mutex> lock(status_mutex);
    if (svc_status.current_state != platform::SVC_RUNNING) return;
    (void)platform::set_service_summary(svc_status_hnd, summary);
}

void winsvc_report_alive() {
    std::lock_guard<std::mutex> lock(status_mutex);
    (void)platform::report_service_alive(svc_status_hnd);
}

void winsvc_ctrl_handler(uint32_t control) {
    if (control != platform::SVC_CONTROL_STOP && control != platform::SVC_CONTROL_SHUTDOWN) return;
    winsvc_state_update(platform::SVC_STOP_PENDING, 0);
    request_stop(SIGINT);
    std::signal(SIGINT, SIG_DFL);
}

void winsvc_main(uint32_t /*argc*/, char** /*argv*/) {
    svc_status_hnd = platform::register_service_ctrl_handler(SERVICE_NAME, winsvc_ctrl_handler);
    if (svc_status_hnd == nullptr) return;
    // The run's threads have ended when app returns: the event log outlives every error line.
    platform::EventLog event_log(SERVICE_NAME, event_log_calls);
    service_event_log.store(&event_log);
    logger::set_error_sink(report_to_event_log);
    winsvc_state_update(platform::SVC_START_PENDING, 0);
    const int result = app(cfg);
    logger::set_error_sink(nullptr);
    service_event_log.store(nullptr);
    winsvc_state_update(platform::SVC_STOPPED, static_cast<uint32_t>(result));
    svc_status_hnd = nullptr;
}

void set_service_event_log_calls(const platform::EventLogCalls& calls) { event_log_calls = calls; }

int run_as_service() {
    const platform::ServiceTableEntry table[] = {{SERVICE_NAME, winsvc_main}, {nullptr, nullptr}};
    (void)platform::start_service_ctrl_dispatcher(table);
    std::lock_guard<std::mutex> lock(status_mutex);
    return platform::service_exit_status(svc_status);
}

void handle_signal(int signal_number) {
    if (signal_number != SIGINT && signal_number != SIGTERM) return;
    request_stop(signal_number);
    std::signal(signal_number, SIG_DFL);
}

void install_signal_handlers() {
    std::signal(SIGINT, handle_signal);
    std::signal(SIGTERM, handle_signal);
    platform::deliver_console_stop_events(handle_signal);
    // A reader of standard output that goes away (busgated -s 500 | head) must not end the run.
    platform::ignore_closed_output();
    platform::on_log_reopen_request(handle_log_reopen);
}

void clear_stop_request() {
    requested_stops.store(0);
    first_stop.store(0);
}

bool stop_requested() { return requested_stops.load() != 0; }

void report_stop_request(FILE* log) {
    const unsigned stops = requested_stops.exchange(0);
    if (stops == 0) return;
    // The first signal's line first; a second, different signal gets its own line.
    const int first = first_stop.load();
    const int first_signal = (stops & stop_bit(first)) != 0 ? first : 0;
    if (first_signal != 0) log_stop_line(log, first_signal);
    for (const int signal_number : {SIGINT, SIGTERM})
        if (signal_number != first_signal && (stops & stop_bit(signal_number)) != 0) log_stop_line(log, signal_number);
}

bool take_log_reopen_request() { return log_reopen_requested.exchange(false); }
