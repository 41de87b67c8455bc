#include "tests/integration/support/gatewayprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace integration {

std::string busgated_path() {
    const char* path = std::getenv("BUSGATED");
    return path ? path : "";
}

namespace {

std::vector<std::string> make_environment(const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* eq = std::strchr(*entry, '=');
        if (eq == nullptr) continue;
        merged[std::string(*entry, static_cast<std::size_t>(eq - *entry))] = eq + 1;
    }
    for (const auto& [key, value] : overrides) {
        if (value.empty()) {
            merged.erase(key);
        } else {
            merged[key] = value;
        }
    }
    std::vector<std::string> result;
    for (const auto& [key, value] : merged) result.push_back(key + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    for (auto& word : words) result.push_back(word.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

GatewayProcess::GatewayProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> environment = make_environment(env);
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_reader_ = std::thread([this, fd = out_pipe[0]] { read_pipe(fd, out_); });
    err_reader_ = std::thread([this, fd = err_pipe[0]] { read_pipe(fd, err_); });
}

GatewayProcess::~GatewayProcess() {
    if (!exited_) {
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(10));
    }
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
}

void GatewayProcess::read_pipe(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        into.append(buffer, static_cast<std::size_t>(n));
        output_changed_.notify_all();
    }
    close(fd);
}

bool GatewayProcess::send_signal(int signal_number) { return !exited_ && ::kill(pid_, signal_number) == 0; }

int GatewayProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (exited_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // The pipes close with the child: take all it wrote.
            if (out_reader_.joinable()) out_reader_.join();
            if (err_reader_.joinable()) err_reader_.join();
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool GatewayProcess::wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return output_changed_.wait_for(lock, timeout, [&] { return out_.find(text) != std::string::npos; });
}

std::string GatewayProcess::stdout_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string GatewayProcess::stderr_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

}  // namespace integration
