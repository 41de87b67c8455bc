#include "platform/streamlock.h"

namespace platform {

StreamLock::StreamLock(FILE* stream) : stream_(stream) { flockfile(stream_); }

StreamLock::~StreamLock() { funlockfile(stream_); }

}  // namespace platform
