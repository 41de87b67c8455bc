// The resident size of a process on Linux, from /proc.
#include "tests/integration/support/rsssampler.h"

#include <fstream>
#include <sstream>
#include <string>

namespace integration {

long resident_kib(ProcessId pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        long kib = -1;
        fields >> kib;
        return kib;
    }
    return -1;  // gone, or a zombie that no longer has a memory map
}

}  // namespace integration
