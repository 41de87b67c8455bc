// Thread priorities on Windows. std::thread runs on winpthreads here, whose handle leads to the
// Windows thread; Windows has no FIFO policy, its highest level is "time critical".
#include "platform/threadpriority.h"

#include <pthread.h>
#include <sched.h>
#include <windows.h>

namespace platform {

namespace {

HANDLE windows_thread(std::thread& thread) { return static_cast<HANDLE>(pthread_gethandle(thread.native_handle())); }

}  // namespace

int request_highest_fifo_priority(std::thread& thread) {
    if (!thread.joinable()) return -1;
    const HANDLE handle = windows_thread(thread);
    if (handle == nullptr || !SetThreadPriority(handle, THREAD_PRIORITY_TIME_CRITICAL)) return -1;
    return THREAD_PRIORITY_TIME_CRITICAL;
}

bool request_highest_default_priority(std::thread& thread) {
    if (!thread.joinable()) return false;
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_OTHER);
    return param.sched_priority >= 0 && pthread_setschedparam(thread.native_handle(), SCHED_OTHER, &param) == 0;
}

bool lower_calling_thread_priority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0; }

}  // namespace platform
