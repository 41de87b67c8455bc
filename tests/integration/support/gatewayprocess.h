// Runs the real busgated as a child process with its own environment, collects its standard
// output and error, sends it signals and waits for its exit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace integration {

// Path of the binary under test (BUSGATED environment variable set by ctest).
std::string busgated_path();

class GatewayProcess {
public:
    // Starts `program` with `args` (without argv[0]); `env` is laid over the test's environment,
    // an empty value removes the variable.
    GatewayProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {});
    ~GatewayProcess();  // kills a child that is still running

    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool send_signal(int signal_number);

    // Waits for the child's exit; its exit status, or -1 on timeout (the child keeps running),
    // or 128 + signal when a signal ended it.
    int wait_exit(std::chrono::milliseconds timeout);

    // Waits until standard output contains `text`; true when it did within `timeout`.
    bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout);

    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    void read_pipe(int fd, std::string& into);

    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    mutable std::mutex mutex_;
    std::condition_variable output_changed_;
    std::string out_;
    std::string err_;
    std::thread out_reader_;
    std::thread err_reader_;
};

}  // namespace integration
