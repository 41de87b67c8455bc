#include "tests/windows/driverdouble/winedouble.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace driverdouble {

namespace {

std::string required_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

std::vector<uint8_t> parse_hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    if (text == "-") return bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

uint64_t SeenRequest::input_value() const {
    uint64_t value = 0;
    for (std::size_t i = input.size(); i-- > 0;) value = (value << 8) | input[i];
    return value;
}

std::string capture_command(const std::vector<std::string>& argv, int* status) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(got));
    close(pipe_fds[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return out;
}

WineDouble::WineDouble()
    : wine_(required_env("DRIVERDOUBLE_WINE")),
      ctl_(required_env("DRIVERDOUBLE_CTL")),
      scratch_(required_env("WINEPREFIX") + "/drive_c/doublectl-input.bin") {}

std::string WineDouble::run(const std::vector<std::string>& args, int* status) {
    std::vector<std::string> argv{wine_, ctl_};
    argv.insert(argv.end(), args.begin(), args.end());
    int exit_status = 0;
    std::string out = capture_command(argv, &exit_status);
    if (status != nullptr) {
        *status = exit_status;
    } else if (exit_status != 0) {
        std::string joined;
        for (const std::string& arg : args) joined += " " + arg;
        throw std::runtime_error("doublectl" + joined + " exited with " + std::to_string(exit_status));
    }
    // Windows text output ends its lines with CR LF.
    std::string text;
    for (char c : out)
        if (c != '\r') text += c;
    return text;
}

void WineDouble::reset() { run({"reset"}); }
void WineDouble::add_card(uint32_t number) { run({"add", std::to_string(number)}); }
void WineDouble::remove_card(uint32_t number) { run({"remove", std::to_string(number)}); }
void WineDouble::break_card(uint32_t number) { run({"break", std::to_string(number)}); }

void WineDouble::set_infos(uint32_t number, const std::vector<uint8_t>& record) {
    write_file(scratch_, record);
    run({"infos", std::to_string(number), scratch_});
}

void WineDouble::inject(uint32_t number, const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<uint8_t> bytes;
    for (const auto& block : blocks) bytes.insert(bytes.end(), block.begin(), block.end());
    write_file(scratch_, bytes);
    run({"inject", std::to_string(number), scratch_});
}

std::vector<SeenRequest> WineDouble::log(uint32_t number) {
    std::istringstream lines(run({"log", std::to_string(number)}));
    std::vector<SeenRequest> log;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        SeenRequest entry;
        std::string code;
        std::string input;
        if (!(fields >> entry.major >> code >> entry.input_length >> entry.output_length >> input))
            throw std::runtime_error("unreadable log line: " + line);
        entry.code = static_cast<uint32_t>(std::stoul(code, nullptr, 16));
        entry.input = parse_hex(input);
        log.push_back(entry);
    }
    return log;
}

std::map<std::string, uint64_t> WineDouble::state(uint32_t number) {
    std::istringstream pairs(run({"state", std::to_string(number)}));
    std::map<std::string, uint64_t> state;
    std::string pair;
    while (pairs >> pair) {
        const std::size_t equals = pair.find('=');
        if (equals == std::string::npos) throw std::runtime_error("unreadable state: " + pair);
        state[pair.substr(0, equals)] = std::stoull(pair.substr(equals + 1));
    }
    return state;
}

bool WineDouble::wait_pending(uint32_t number, uint32_t count, unsigned timeout_ms) {
    int status = 0;
    run({"wait-pending", std::to_string(number), std::to_string(count), std::to_string(timeout_ms)}, &status);
    return status == 0;
}

std::vector<SeenRequest> device_controls(const std::vector<SeenRequest>& log) {
    std::vector<SeenRequest> requests;
    for (const SeenRequest& entry : log)
        if (entry.is_device_control()) requests.push_back(entry);
    return requests;
}

std::size_t count_code(const std::vector<SeenRequest>& log, uint32_t code) {
    std::size_t count = 0;
    for (const SeenRequest& entry : log)
        if (entry.is_device_control() && entry.code == code) ++count;
    return count;
}

}  // namespace driverdouble
