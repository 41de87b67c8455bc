#include "tests/integration/support/gatewayoutput.h"

#include <cstdio>

namespace integration {

namespace {
const char* const FRAME_LOSS = "fip frame loss ([idx-1]:";
const char* const BUFFER_FULL = "buffer full: ";
}  // namespace

std::vector<std::pair<uint64_t, uint64_t>> GatewayOutput::frame_losses() const {
    std::vector<std::pair<uint64_t, uint64_t>> gaps;
    for (std::size_t at = text_.find(FRAME_LOSS); at != std::string::npos; at = text_.find(FRAME_LOSS, at + 1)) {
        unsigned long long last = 0, next = 0;
        long long diff = 0;
        if (std::sscanf(text_.c_str() + at, "fip frame loss ([idx-1]:%llu [idx]:%llu [diff]:%lld)", &last, &next,
                        &diff) == 3)
            gaps.emplace_back(last, next);
    }
    return gaps;
}

uint64_t GatewayOutput::dropped_records() const {
    uint64_t dropped = 0;
    for (std::size_t at = text_.find(BUFFER_FULL); at != std::string::npos; at = text_.find(BUFFER_FULL, at + 1)) {
        unsigned long long now = 0, total = 0;
        if (std::sscanf(text_.c_str() + at, "buffer full: %llu records dropped (%llu since start)", &now, &total) == 2)
            dropped = total;
    }
    return dropped;
}

std::size_t GatewayOutput::buffer_full_lines() const {
    std::size_t lines = 0;
    for (std::size_t at = text_.find(BUFFER_FULL); at != std::string::npos; at = text_.find(BUFFER_FULL, at + 1))
        ++lines;
    return lines;
}

}  // namespace integration
