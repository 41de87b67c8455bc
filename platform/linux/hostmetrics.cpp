#include "platform/hostmetrics.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include <dirent.h>

namespace platform {

namespace {

bool read_whole_file(const char* path, std::string* out) {
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

// Zones are numbered; "first" is the lowest number, not the first directory entry.
bool lowest_thermal_zone(std::string* path) {
    DIR* dir = opendir("/sys/class/thermal");
    if (!dir) return false;
    const std::string prefix = "thermal_zone";
    long best = -1;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
        char* end = nullptr;
        const long n = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (*end != '\0' || n < 0) continue;
        if (best < 0 || n < best) best = n;
    }
    closedir(dir);
    if (best < 0) return false;
    *path = "/sys/class/thermal/" + prefix + std::to_string(best) + "/temp";
    return true;
}

}  // namespace

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

bool read_cpu_times(CpuTimes* out) {
    std::string text;
    return read_whole_file("/proc/stat", &text) && parse_cpu_times(text, out);
}

double cpu_load_percent(const CpuTimes& before, const CpuTimes& after) {
    if (after.total <= before.total || after.busy < before.busy)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(after.busy - before.busy) * 100.0 /
           static_cast<double>(after.total - before.total);
}

bool read_cpu_temperature(float* celsius) {
    std::string path, text;
    if (!celsius || !lowest_thermal_zone(&path) || !read_whole_file(path.c_str(), &text)) return false;
    errno = 0;
    char* end = nullptr;
    const long milli = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0) return false;
    *celsius = static_cast<float>(milli / 1000.0);
    return true;
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

bool read_memory_status(MemoryStatus* out) {
    std::string text;
    return read_whole_file("/proc/meminfo", &text) && parse_memory_status(text, out);
}

}  // namespace platform
