// Linux services are systemd units, installed as files by the package: nothing to register.
#include "platform/serviceinstaller.h"

namespace platform {

bool install_service(const ServiceDefinition& /*service*/, std::string& error, std::string& /*recovery_problem*/) {
    error = "no Windows service manager on this platform (systemd units are installed as files)";
    return false;
}

}  // namespace platform
