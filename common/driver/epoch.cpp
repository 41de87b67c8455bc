#include "common/driver/epoch.h"

#include <chrono>

namespace linkscope {

uint64_t epoch_microseconds() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
}

}  // namespace linkscope
