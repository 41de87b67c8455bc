// Card device names: "\\.\LINKSCOPE<n>", n a decimal device number from 1 without leading zeros.
#pragma once

#include <string>

namespace linkscope {

constexpr const char* DEVICE_PATH_FORMAT = "\\\\.\\LINKSCOPE%d";

std::string device_path(int number);

// The device number of a well-formed path; false for anything else (no digits, leading zero,
// trailing characters, out of the 1 to 255 range).
bool parse_device_path(const char* path, int* number);

}  // namespace linkscope
