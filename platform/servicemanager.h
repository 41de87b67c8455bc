// The service control manager with the shape of the Windows calls. On Windows these are the
// calls themselves. On Linux the manager is systemd: status reports become sd_notify messages,
// and without NOTIFY_SOCKET the dispatcher cannot connect, as a Windows service started from a
// console. The constants carry the Windows values under names that do not collide with the
// macros of the Windows headers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {

constexpr uint32_t SVC_WIN32_OWN_PROCESS = 0x10;

constexpr uint32_t SVC_STOPPED = 1;
constexpr uint32_t SVC_START_PENDING = 2;
constexpr uint32_t SVC_STOP_PENDING = 3;
constexpr uint32_t SVC_RUNNING = 4;

constexpr uint32_t SVC_ACCEPT_STOP = 0x1;
constexpr uint32_t SVC_ACCEPT_SHUTDOWN = 0x4;

constexpr uint32_t SVC_CONTROL_STOP = 1;
constexpr uint32_t SVC_CONTROL_PAUSE = 2;
constexpr uint32_t SVC_CONTROL_CONTINUE = 3;
constexpr uint32_t SVC_CONTROL_INTERROGATE = 4;
constexpr uint32_t SVC_CONTROL_SHUTDOWN = 5;

constexpr uint32_t SVC_ERROR_SPECIFIC_EXIT = 1066;

// The seven 32-bit fields of a service status report, in the platform's order.
struct ServiceStatus {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
    uint32_t service_specific_exit_code;
    uint32_t check_point;
    uint32_t wait_hint;
};
static_assert(sizeof(ServiceStatus) == 28, "a service status is seven 32-bit fields");

using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
using ServiceControlHandler = void (*)(uint32_t control);

struct ServiceTableEntry {
    const char* name;
    ServiceMainFunction main;
};

struct ServiceStatusHandleData;
using ServiceStatusHandle = ServiceStatusHandleData*;

// Runs the service main function of the first table entry on a service thread and returns
// when it has returned. The table ends with an all-null entry. Returns false at once, without
// running anything, when no service manager is there to connect to.
bool start_service_ctrl_dispatcher(const ServiceTableEntry* table);

// Registers the control handler of the service `name`; null when `name` is not the service
// being dispatched.
ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler);

// Reports `status` to the service manager; false when the handle is null or the report failed.
bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status);

// The exit status of a process whose service run ended with `last`: the Win32 exit code where
// an exit status holds it; 0 or 1 where an exit status has only 8 bits.
int service_exit_status(const ServiceStatus& last);

// The systemd notify message that reports `status` ("READY=1" for running, ...).
std::string service_notify_message(const ServiceStatus& status);

// While the service runs: a short live summary for the manager's status display (systemd:
// "STATUS=<summary>"). False when the handle is null or the report failed.
bool set_service_summary(ServiceStatusHandle handle, const std::string& summary);

// How often the manager wants a sign of life (systemd: WatchdogSec=); zero when it wants none.
std::chrono::microseconds service_watchdog_interval();

// The sign of life (systemd: "WATCHDOG=1"). False when the handle is null or the report failed.
bool report_service_alive(ServiceStatusHandle handle);

// Test seam: delivers `control` to the registered handler as the manager would. False when
// no handler is registered.
bool deliver_service_control(uint32_t control);

}  // namespace platform
