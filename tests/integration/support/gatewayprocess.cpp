// What the child-process launcher does the same way on every platform; the platform's part is in
// gatewayprocess_posix.cpp and gatewayprocess_win32.cpp.
#include "tests/integration/support/gatewayprocess.h"

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace integration {

std::string busgated_path() {
    const char* path = std::getenv("BUSGATED");
    return path ? path : "";
}

std::map<std::string, std::string> merged_environment(const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        // Windows keeps per-drive directories as "=C:=C:\dir": the name starts after the first '='.
        const char* eq = **entry == '\0' ? nullptr : std::strchr(*entry + 1, '=');
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
    return merged;
}

GatewayProcess::GatewayProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env, std::size_t stdout_limit)
    : stdout_limit_(stdout_limit) {
    start(program, args, env);
}

GatewayProcess::~GatewayProcess() {
    if (!exited_) {
        kill();
        wait_exit(std::chrono::seconds(10));
    }
    join_readers();
    release_child();
}

bool GatewayProcess::take_output(std::string& into, const char* data, std::size_t size, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t room = limit - into.size();
    into.append(data, size < room ? size : room);
    output_changed_.notify_all();
    return into.size() < limit;
}

void GatewayProcess::join_readers() {
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
}

int GatewayProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (exited_) return status_;
    if (!collect_exit(timeout)) return -1;
    exited_ = true;
    // The pipes close with the child: take all it wrote.
    join_readers();
    return status_;
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
