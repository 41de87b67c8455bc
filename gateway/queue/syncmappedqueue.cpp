#include "gateway/queue/syncmappedqueue.h"

#include <vector>

// The gateway's record queue, compiled once here.
template class SyncMappedQueue<std::vector<char>>;
