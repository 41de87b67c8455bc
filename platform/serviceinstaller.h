// Registering a service with the service control manager, with its recovery actions: what the
// installer asks of Windows, behind one call so that the command line it registers is the one
// that was checked, written by no shell's quoting rules.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct ServiceDefinition {
    std::string name;
    std::string display_name;
    std::string description;
    std::string command_line;  // program and arguments, quoted as the program reads them
    bool auto_start = false;   // with Windows; otherwise on demand
    // Recovery: after a failure (also a stop with an exit code) the manager restarts the service
    // after `restart_delay_ms`, `restarts` times, then leaves it stopped; the count of failures
    // starts again after `reset_period_s` without one.
    uint32_t restart_delay_ms = 0;
    uint32_t restarts = 0;
    uint32_t reset_period_s = 0;
};

// Creates the service (replacing none: an existing one is an error). False with `error` when
// the manager refuses it or its description; a service created before such a step failed is
// deleted again. Recovery actions that the manager does not take (Wine keeps none) leave the
// service registered and are told in `recovery_problem`.
bool install_service(const ServiceDefinition& service, std::string& error, std::string& recovery_problem);

}  // namespace platform
