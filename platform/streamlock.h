// Holds a C stream's own lock for as long as the object lives, so that several writes form one
// piece that the writes of other threads cannot split.
#pragma once

#include <cstdio>

namespace platform {

class StreamLock {
public:
    explicit StreamLock(FILE* stream);
    ~StreamLock();
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

private:
    FILE* stream_;
};

}  // namespace platform
