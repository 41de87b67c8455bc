// The child-process launcher on POSIX: fork and exec, pipes, kill and waitpid.
#include "tests/integration/support/gatewayprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>

namespace integration {

struct GatewayProcess::Child {};

static_assert(GatewayProcess::KILLED_STATUS == 128 + SIGKILL, "the status a killed child leaves");

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    for (auto& word : words) result.push_back(word.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

void keep_from_child_processes(std::intptr_t native_handle) {
    ::fcntl(static_cast<int>(native_handle), F_SETFD, FD_CLOEXEC);
}

void GatewayProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> environment;
    for (const auto& [key, value] : merged_environment(env)) environment.push_back(key + "=" + value);
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    pid_ = pid;
    close(out_pipe[1]);
    close(err_pipe[1]);
    const auto read_pipe = [this](int fd, std::string& into, std::size_t limit) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !take_output(into, buffer, static_cast<std::size_t>(n), limit)) break;
        }
        close(fd);
    };
    out_reader_ = std::thread(read_pipe, out_pipe[0], std::ref(out_), stdout_limit_);
    err_reader_ = std::thread(read_pipe, err_pipe[0], std::ref(err_), WHOLE_OUTPUT);
}

void GatewayProcess::release_child() {}

bool GatewayProcess::can_send(int /*signal_number*/) { return true; }

bool GatewayProcess::send_signal(int signal_number) { return !exited_ && ::kill(static_cast<pid_t>(pid_), signal_number) == 0; }

bool GatewayProcess::kill() { return send_signal(SIGKILL); }

bool GatewayProcess::collect_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace integration
