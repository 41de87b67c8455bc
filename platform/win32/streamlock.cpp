#include "platform/streamlock.h"

namespace platform {

// The C runtime's per-stream lock, the one its own stdio functions take.
StreamLock::StreamLock(FILE* stream) : stream_(stream) { _lock_file(stream_); }

StreamLock::~StreamLock() { _unlock_file(stream_); }

}  // namespace platform
