#include "platform/linux/procfigures.h"

#include <limits>
#include <sstream>

#include "platform/hostmetrics.h"

namespace platform {

bool parse_cpu_times(const std::string& proc_stat, CpuTimes* out) {
    std::istringstream lines(proc_stat);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        if (label != "cpu") continue;
        // user nice system idle iowait irq softirq steal; guest times are already in user/nice.
        uint64_t v[8] = {};
        int n = 0;
        while (n < 8 && fields >> v[n]) ++n;
        if (n < 4) return false;
        const uint64_t idle = v[3] + v[4];
        uint64_t total = 0;
        for (int i = 0; i < n; ++i) total += v[i];
        out->busy = total - idle;
        out->total = total;
        return true;
    }
    return false;
}

double cpu_load_percent(const CpuTimes& before, const CpuTimes& after) {
    if (after.total <= before.total || after.busy < before.busy)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(after.busy - before.busy) * 100.0 /
           static_cast<double>(after.total - before.total);
}

bool parse_memory_status(const std::string& meminfo, MemoryStatus* out) {
    std::istringstream lines(meminfo);
    std::string line;
    bool have_total = false, have_available = false;
    MemoryStatus status;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string key, unit;
        uint64_t kib = 0;
        if (!(fields >> key >> kib)) continue;
        if (key == "MemTotal:") {
            status.total_bytes = kib * 1024;
            have_total = true;
        } else if (key == "MemAvailable:") {
            status.available_bytes = kib * 1024;
            have_available = true;
        }
    }
    if (!have_total || !have_available) return false;
    *out = status;
    return true;
}

}  // namespace platform
