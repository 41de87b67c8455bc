#include "tests/support/processsurroundings.h"

#include <cstdlib>
#include <string>

namespace testsupport {

#ifdef _WIN32
const char* const NULL_DEVICE = "NUL";

bool remove_environment_variable(const char* name) {
    // "NAME=" removes the variable in the Windows C runtime.
    const std::string removal = std::string(name) + "=";
    return _putenv(removal.c_str()) == 0;
}
#else
const char* const NULL_DEVICE = "/dev/null";

bool remove_environment_variable(const char* name) { return unsetenv(name) == 0; }
#endif

}  // namespace testsupport
