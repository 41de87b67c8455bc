// The Windows service control manager. Its dispatcher calls back through WINAPI functions: the
// service main function and the control handler given to these calls are kept here and reached
// from two named trampolines.
#include "platform/servicemanager.h"

#include <windows.h>

#include <mutex>

namespace platform {

static_assert(SVC_WIN32_OWN_PROCESS == SERVICE_WIN32_OWN_PROCESS, "service type");
static_assert(SVC_STOPPED == SERVICE_STOPPED && SVC_START_PENDING == SERVICE_START_PENDING &&
                  SVC_STOP_PENDING == SERVICE_STOP_PENDING && SVC_RUNNING == SERVICE_RUNNING,
              "service states");
static_assert(SVC_ACCEPT_STOP == SERVICE_ACCEPT_STOP && SVC_ACCEPT_SHUTDOWN == SERVICE_ACCEPT_SHUTDOWN,
              "accepted controls");
static_assert(SVC_CONTROL_STOP == SERVICE_CONTROL_STOP && SVC_CONTROL_PAUSE == SERVICE_CONTROL_PAUSE &&
                  SVC_CONTROL_CONTINUE == SERVICE_CONTROL_CONTINUE &&
                  SVC_CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE &&
                  SVC_CONTROL_SHUTDOWN == SERVICE_CONTROL_SHUTDOWN,
              "controls");
static_assert(SVC_ERROR_SPECIFIC_EXIT == ERROR_SERVICE_SPECIFIC_ERROR, "exit code of a failed run");
static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus), "seven 32-bit fields");

struct ServiceStatusHandleData {
    SERVICE_STATUS_HANDLE handle = nullptr;
    ServiceControlHandler handler = nullptr;
};

namespace {

struct Dispatcher {
    std::mutex mutex;
    std::string service_name;  // non-empty while a service is dispatched
    ServiceMainFunction service_main = nullptr;
    ServiceStatusHandleData registration;
    bool registered = false;
};

Dispatcher& dispatcher() {
    static Dispatcher d;
    return d;
}

void WINAPI service_main_entry(DWORD argc, LPSTR* argv) {
    ServiceMainFunction service_main = nullptr;
    {
        Dispatcher& d = dispatcher();
        std::lock_guard<std::mutex> lock(d.mutex);
        service_main = d.service_main;
    }
    if (service_main) service_main(argc, argv);
}

ServiceControlHandler registered_handler() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.registered ? d.registration.handler : nullptr;
}

void WINAPI control_handler_entry(DWORD control) {
    if (ServiceControlHandler handler = registered_handler()) handler(control);
}

void end_dispatch() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.service_name.clear();
    d.service_main = nullptr;
    d.registered = false;
    d.registration = ServiceStatusHandleData{};
}

}  // namespace

bool start_service_ctrl_dispatcher(const ServiceTableEntry* table) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) return false;
    std::string name = table[0].name;
    Dispatcher& d = dispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.service_name.empty()) return false;  // one dispatcher per process
        d.service_name = name;
        d.service_main = table[0].main;
    }
    SERVICE_TABLE_ENTRYA entries[] = {{&name[0], service_main_entry}, {nullptr, nullptr}};
    const BOOL connected = StartServiceCtrlDispatcherA(entries);
    end_dispatch();
    return connected != FALSE;
}

ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler) {
    if (name == nullptr || handler == nullptr) return nullptr;
    Dispatcher& d = dispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.service_name.empty() || d.service_name != name) return nullptr;
        // Set before the manager knows the handler, which may be called at once.
        d.registration.handler = handler;
        d.registered = true;
    }
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(name, control_handler_entry);
    std::lock_guard<std::mutex> lock(d.mutex);
    if (handle == nullptr) {
        d.registered = false;
        d.registration = ServiceStatusHandleData{};
        return nullptr;
    }
    d.registration.handle = handle;
    return &d.registration;
}

int service_exit_status(const ServiceStatus& last) { return static_cast<int>(last.win32_exit_code); }

bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status) {
    if (handle == nullptr || status == nullptr || handle->handle == nullptr) return false;
    SERVICE_STATUS report{};
    report.dwServiceType = status->service_type;
    report.dwCurrentState = status->current_state;
    report.dwControlsAccepted = status->controls_accepted;
    report.dwWin32ExitCode = status->win32_exit_code;
    report.dwServiceSpecificExitCode = status->service_specific_exit_code;
    report.dwCheckPoint = status->check_point;
    report.dwWaitHint = status->wait_hint;
    return SetServiceStatus(handle->handle, &report) != FALSE;
}

// The service control manager shows no status text and asks for no sign of life: there is
// nothing to report beyond the states.
bool set_service_summary(ServiceStatusHandle, const std::string&) { return false; }

std::chrono::microseconds service_watchdog_interval() { return std::chrono::microseconds::zero(); }

bool report_service_alive(ServiceStatusHandle) { return false; }

bool deliver_service_control(uint32_t control) {
    ServiceControlHandler handler = registered_handler();
    if (handler == nullptr) return false;
    handler(control);
    return true;
}

}  // namespace platform
