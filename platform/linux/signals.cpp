#include "platform/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "platform/streamlock.h"

namespace platform {

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;

}  // namespace

void ignore_closed_output() {
    struct sigaction action{};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void on_log_reopen_request(void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

int keep_request_signal() { return SIGUSR1; }

bool reopen_append(FILE* stream, const char* path) {
    if (stream == nullptr || path == nullptr) return false;
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LOG_FILE_MODE);
    if (fd < 0) return false;
    bool switched = false;
    {
        StreamLock lock(stream);
        std::fflush(stream);
        switched = ::dup2(fd, fileno(stream)) >= 0;
    }
    ::close(fd);
    return switched;
}

}  // namespace platform
