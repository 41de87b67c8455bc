#include "platform/hostmetrics.h"

#include "platform/linux/procfigures.h"

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

bool read_cpu_times(CpuTimes* out) {
    std::string text;
    return read_whole_file("/proc/stat", &text) && parse_cpu_times(text, out);
}

}  // namespace

struct CpuLoadMeter::Source {
    CpuTimes previous;
};

CpuLoadMeter::CpuLoadMeter() : source_(std::make_unique<Source>()) { read_cpu_times(&source_->previous); }

CpuLoadMeter::~CpuLoadMeter() = default;

double CpuLoadMeter::read() {
    CpuTimes now;
    if (!read_cpu_times(&now)) return std::numeric_limits<double>::quiet_NaN();
    const double load = cpu_load_percent(source_->previous, now);
    // A span too short to measure is kept growing from the same start.
    if (!std::isnan(load)) source_->previous = now;
    return load;
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

bool read_memory_status(MemoryStatus* out) {
    std::string text;
    return read_whole_file("/proc/meminfo", &text) && parse_memory_status(text, out);
}

}  // namespace platform
