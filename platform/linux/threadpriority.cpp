#include "platform/threadpriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {

// How far a background thread goes below the others, and the lowest nice value there is.
constexpr int BACKGROUND_NICE_STEP = 10;
constexpr int LOWEST_NICE = 19;

bool set_fifo(pthread_t thread, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(thread, SCHED_FIFO, &param) == 0;
}

// The highest real-time priority an unprivileged process may take (0: none).
int rtprio_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return sched_get_priority_max(SCHED_FIFO);
    return static_cast<int>(limit.rlim_cur);
}

}  // namespace

int request_highest_fifo_priority(std::thread& thread) {
    if (!thread.joinable()) return -1;
    const pthread_t handle = thread.native_handle();
    const int highest = sched_get_priority_max(SCHED_FIFO);
    if (highest < 0) return -1;
    if (set_fifo(handle, highest)) return highest;
    const int allowed = std::min(rtprio_limit(), highest);
    if (allowed >= sched_get_priority_min(SCHED_FIFO) && allowed > 0 && set_fifo(handle, allowed)) return allowed;
    return -1;
}

bool request_highest_default_priority(std::thread& thread) {
    if (!thread.joinable()) return false;
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_OTHER);
    return param.sched_priority >= 0 && pthread_setschedparam(thread.native_handle(), SCHED_OTHER, &param) == 0;
}

bool lower_calling_thread_priority() {
    // On Linux the nice value belongs to the thread: PRIO_PROCESS with a thread's id sets its own.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, thread);
    if (now == -1 && errno != 0) return false;
    return setpriority(PRIO_PROCESS, thread, std::min(now + BACKGROUND_NICE_STEP, LOWEST_NICE)) == 0;
}

}  // namespace platform
