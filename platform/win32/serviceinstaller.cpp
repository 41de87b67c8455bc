#include "platform/serviceinstaller.h"

#include <windows.h>

#include <vector>

namespace platform {

namespace {

std::string last_error_text(const char* what) {
    return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

bool set_description(SC_HANDLE service, const std::string& text, std::string& error) {
    std::string copy = text;
    SERVICE_DESCRIPTIONA description{copy.data()};
    if (ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)) return true;
    error = last_error_text("ChangeServiceConfig2 (description)");
    return false;
}

bool set_recovery(SC_HANDLE service, const ServiceDefinition& definition, std::string& error) {
    // `restarts` restarts, then none: the last action stands for every later failure.
    std::vector<SC_ACTION> actions(definition.restarts, SC_ACTION{SC_ACTION_RESTART, definition.restart_delay_ms});
    actions.push_back(SC_ACTION{SC_ACTION_NONE, 0});
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = definition.reset_period_s;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        error = last_error_text("ChangeServiceConfig2 (failure actions)");
        return false;
    }
    // A failed run ends with the status stopped and an exit code, not with a crash: that too
    // is a failure to recover from.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        error = last_error_text("ChangeServiceConfig2 (failure actions flag)");
        return false;
    }
    return true;
}

}  // namespace

bool install_service(const ServiceDefinition& definition, std::string& error, std::string& recovery_problem) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (manager.get() == nullptr) {
        error = last_error_text("OpenSCManager");
        return false;
    }
    ScHandle service(CreateServiceA(manager.get(), definition.name.c_str(), definition.display_name.c_str(),
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    definition.auto_start ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, definition.command_line.c_str(), nullptr, nullptr, nullptr,
                                    nullptr, nullptr));
    if (service.get() == nullptr) {
        error = last_error_text("CreateService");
        return false;
    }
    if (!set_description(service.get(), definition.description, error)) {
        DeleteService(service.get());
        return false;
    }
    recovery_problem.clear();
    (void)set_recovery(service.get(), definition, recovery_problem);
    return true;
}

}  // namespace platform
