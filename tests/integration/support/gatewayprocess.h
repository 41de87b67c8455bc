// Runs the real busgated as a child process with its own environment, collects its standard
// output and error, sends it stop requests and waits for its exit.
//
// On Windows the child runs on a console of its own, without a window: SIGINT there is a Ctrl+C
// event on that console, and kill() is TerminateProcess. SIGTERM stands for closing the console
// window, which nothing outside can do to a console that has none: can_send() says so. The output
// is kept as text: "\r\n" from a Windows program is "\n" here, as its own C runtime reads text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace integration {

// A process id on every platform (pid_t on POSIX, a DWORD on Windows).
using ProcessId = std::int64_t;

// Path of the binary under test (BUSGATED environment variable set by ctest).
std::string busgated_path();

// The test's environment with `overrides` laid over it: an empty value removes the variable.
std::map<std::string, std::string> merged_environment(const std::map<std::string, std::string>& overrides);

// Keeps a socket or file of this process out of the child processes started afterwards.
void keep_from_child_processes(std::intptr_t native_handle);

class GatewayProcess {
public:
    static constexpr std::size_t WHOLE_OUTPUT = std::numeric_limits<std::size_t>::max();
    // What wait_exit() reports for a child ended by kill() (128 + SIGKILL).
    static constexpr int KILLED_STATUS = 128 + 9;

    // Starts `program` with `args` (without argv[0]); `env` is laid over the test's environment,
    // an empty value removes the variable. Standard output is read up to `stdout_limit` bytes,
    // then its pipe is closed, as a reader such as `head -c` does. Throws when it cannot start.
    GatewayProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}, std::size_t stdout_limit = WHOLE_OUTPUT);
    ~GatewayProcess();  // kills a child that is still running

    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    ProcessId pid() const { return pid_; }

    // Whether send_signal() can deliver `signal_number` to a child on this platform.
    static bool can_send(int signal_number);
    bool send_signal(int signal_number);
    // Ends the child at once (SIGKILL; TerminateProcess on Windows).
    bool kill();

    // Waits for the child's exit; its exit status, or -1 on timeout (the child keeps running),
    // or 128 + signal when a signal ended it.
    int wait_exit(std::chrono::milliseconds timeout);

    // Waits until standard output contains `text`; true when it did within `timeout`.
    bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout);

    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    struct Child;  // what the platform keeps of the running child

    // Starts the child and the two reader threads; sets pid_.
    void start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env);
    // Keeps what a reader thread got; false once `into` has all it may take.
    bool take_output(std::string& into, const char* data, std::size_t size, std::size_t limit);
    // Sets status_ once the child has ended within `timeout`; false while it runs.
    bool collect_exit(std::chrono::milliseconds timeout);
    void release_child();  // frees child_
    void join_readers();

    Child* child_ = nullptr;
    ProcessId pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    const std::size_t stdout_limit_;
    mutable std::mutex mutex_;
    std::condition_variable output_changed_;
    std::string out_;
    std::string err_;
    std::thread out_reader_;
    std::thread err_reader_;
};

}  // namespace integration
