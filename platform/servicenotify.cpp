// The systemd notify message of a service status report. Pure text, so it is built and checked
// on every platform.
#include "platform/servicemanager.h"

namespace platform {

std::string service_notify_message(const ServiceStatus& status) {
    switch (status.current_state) {
        case SVC_START_PENDING: return "STATUS=starting";
        case SVC_RUNNING: return "READY=1";
        case SVC_STOP_PENDING: return "STOPPING=1";
        case SVC_STOPPED: {
            std::string message = "STATUS=stopped (win32 exit code " + std::to_string(status.win32_exit_code) +
                                  ", service exit code " + std::to_string(status.service_specific_exit_code) + ")";
            if (status.win32_exit_code != 0) {
                message += "\nERRNO=" + std::to_string(status.service_specific_exit_code);
            }
            return message;
        }
        default: return "STATUS=state " + std::to_string(status.current_state);
    }
}

}  // namespace platform
