#include "platform/servicemanager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

struct ServiceStatusHandleData {
    std::string name;
    ServiceControlHandler handler = nullptr;
};

namespace {

struct Dispatcher {
    std::mutex mutex;
    std::string service_name;  // non-empty while a service is dispatched
    ServiceStatusHandleData registration;
    bool registered = false;
};

Dispatcher& dispatcher() {
    static Dispatcher d;
    return d;
}

bool service_manager_present() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
}

void end_dispatch() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.service_name.clear();
    d.registered = false;
    d.registration = ServiceStatusHandleData{};
}

}  // namespace

bool start_service_ctrl_dispatcher(const ServiceTableEntry* table) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) return false;
    if (!service_manager_present()) return false;
    Dispatcher& d = dispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.service_name.empty()) return false;  // one dispatcher per process
        d.service_name = table[0].name;
    }
    std::string name = table[0].name;
    ServiceMainFunction service_main = table[0].main;
    std::thread service_thread([&name, service_main] {
        char* argv[] = {name.data(), nullptr};
        service_main(1, argv);
    });
    service_thread.join();
    end_dispatch();
    return true;
}

ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler) {
    if (name == nullptr || handler == nullptr) return nullptr;
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.service_name.empty() || d.service_name != name) return nullptr;
    d.registration.name = name;
    d.registration.handler = handler;
    d.registered = true;
    return &d.registration;
}

int service_exit_status(const ServiceStatus& last) { return last.win32_exit_code != 0 ? 1 : 0; }

bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status) {
    if (handle == nullptr || status == nullptr) return false;
    const std::string message = service_notify_message(*status);
    return sd_notify(0, message.c_str()) > 0;
}

bool set_service_summary(ServiceStatusHandle handle, const std::string& summary) {
    if (handle == nullptr) return false;
    const std::string message = "STATUS=" + summary;
    return sd_notify(0, message.c_str()) > 0;
}

std::chrono::microseconds service_watchdog_interval() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds::zero();
    return std::chrono::microseconds(usec);
}

bool report_service_alive(ServiceStatusHandle handle) {
    if (handle == nullptr) return false;
    return sd_notify(0, "WATCHDOG=1") > 0;
}

bool deliver_service_control(uint32_t control) {
    ServiceControlHandler handler = nullptr;
    {
        Dispatcher& d = dispatcher();
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.registered) handler = d.registration.handler;
    }
    if (handler == nullptr) return false;
    handler(control);
    return true;
}

}  // namespace platform
