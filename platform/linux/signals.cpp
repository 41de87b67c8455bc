#include "platform/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/streamlock.h"

namespace platform {

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM};
std::atomic<std::atomic<bool>*> stop_flag{nullptr};
struct sigaction handlers_before[2];

void raise_then_pass_on(int number, siginfo_t* info, void* context) {
    if (std::atomic<bool>* flag = stop_flag.load()) flag->store(true);
    const struct sigaction& before = handlers_before[number == SIGINT ? 0 : 1];
    if (before.sa_flags & SA_SIGINFO) {
        if (before.sa_sigaction) before.sa_sigaction(number, info, context);
    } else if (before.sa_handler == SIG_DFL) {
        std::signal(number, SIG_DFL);
        std::raise(number);
    } else if (before.sa_handler != SIG_IGN) {
        before.sa_handler(number);
    }
}

}  // namespace

void raise_on_stop_signal(std::atomic<bool>* flag) {
    stop_flag.store(flag);
    // Installed once: a second installation would pass the signal on to itself.
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (std::size_t i = 0; i < 2; ++i) {
        struct sigaction action{};
        action.sa_sigaction = raise_then_pass_on;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigaction(STOP_SIGNALS[i], &action, &handlers_before[i]);
    }
}

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
