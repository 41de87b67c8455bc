// Use of the queue's segment, in bytes of the buffer file.
#pragma once

#include <cstdint>

struct BufferUsage {
    uint32_t total = 0;  // size of the buffer
    uint32_t used = 0;   // total - free
    uint32_t free = 0;   // what the segment's allocator can still hand out
    float used_pct = 0.0f;
    float free_pct = 0.0f;
};
