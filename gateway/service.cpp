#include "gateway/service.h"

#include <csignal>
#include <mutex>

#include "gateway/app.h"
#include "gateway/appcfg.h"
#include "gateway/logger.h"
#include "platform/console.h"

const char* const SERVICE_NAME = "BusgateSvc";

platform::ServiceStatus svc_status{};
platform::ServiceStatusHandle svc_status_hnd = nullptr;

namespace {

constexpr uint32_t CONTROLS_WHILE_RUNNING = platform::SVC_ACCEPT_STOP | platform::SVC_ACCEPT_SHUTDOWN;
static_assert(CONTROLS_WHILE_RUNNING == 5, "stop and shutdown are accepted while running");

// The signal (SIGINT or SIGTERM) that asked the run to end; 0 for none.
std::atomic<int> requested_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

// The control handler (dispatcher thread) and the service thread both report.
std::mutex status_mutex;

void request_stop(int signal_number) {
    // Recorded before the flag is cleared: the watch loop checks it after setting the flag.
    requested_stop.store(signal_number);
    running.store(0);
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

void winsvc_ctrl_handler(uint32_t control) {
    if (control != platform::SVC_CONTROL_STOP && control != platform::SVC_CONTROL_SHUTDOWN) return;
    winsvc_state_update(platform::SVC_STOP_PENDING, 0);
    request_stop(SIGINT);
    std::signal(SIGINT, SIG_DFL);
}

void winsvc_main(uint32_t /*argc*/, char** /*argv*/) {
    svc_status_hnd = platform::register_service_ctrl_handler(SERVICE_NAME, winsvc_ctrl_handler);
    if (svc_status_hnd == nullptr) return;
    winsvc_state_update(platform::SVC_START_PENDING, 0);
    const int result = app(cfg);
    winsvc_state_update(platform::SVC_STOPPED, static_cast<uint32_t>(result));
    svc_status_hnd = nullptr;
}

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
}

void clear_stop_request() { requested_stop.store(0); }

bool stop_requested() { return requested_stop.load() != 0; }

void report_stop_request(FILE* log) {
    switch (requested_stop.exchange(0)) {
        case SIGINT: logger::print(log, logger::EVENT, "SIGINT signal received\n"); break;
        case SIGTERM: logger::print(log, logger::EVENT, "SIGTERM signal received\n"); break;
        default: break;
    }
}
