// What a test program needs from the system around it that POSIX and the Windows C runtime
// spell differently: the device that discards output, and removing an environment variable.
#pragma once

namespace testsupport {

// Opened for writing, takes any amount of output and keeps none of it.
extern const char* const NULL_DEVICE;

// Removes `name` from this process's environment (not merely emptied: an empty value is a value).
// False when the runtime refused.
bool remove_environment_variable(const char* name);

}  // namespace testsupport
