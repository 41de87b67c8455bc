// Epoch time for LINKSCOPE_IOCTL_SET_EPOCH: microseconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <cstdint>

namespace linkscope {

// tv_sec * 1000000 + tv_nsec / 1000 of the real-time clock.
uint64_t epoch_microseconds();

}  // namespace linkscope
