#include "common/driver/devicepath.h"

#include <cstdio>
#include <cstring>

#include "common/driver/protocol.h"

namespace linkscope {

namespace {
constexpr const char* DEVICE_PATH_PREFIX = "\\\\.\\LINKSCOPE";
}

std::string device_path(int number) {
    char path[32];
    std::snprintf(path, sizeof path, DEVICE_PATH_FORMAT, number);
    return path;
}

bool parse_device_path(const char* path, int* number) {
    if (!path || !number) return false;
    const std::size_t prefix_length = std::strlen(DEVICE_PATH_PREFIX);
    if (std::strncmp(path, DEVICE_PATH_PREFIX, prefix_length) != 0) return false;
    const char* digits = path + prefix_length;
    if (*digits < '1' || *digits > '9') return false;
    int value = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > MAX_DEVICE_NUMBER) return false;
    }
    *number = value;
    return true;
}

}  // namespace linkscope
