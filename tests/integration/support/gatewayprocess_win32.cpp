// The child-process launcher on Windows: CreateProcess with redirected standard output and error,
// Ctrl+C events on the child's console, TerminateProcess.
//
// Each child gets a console of its own without a window (CREATE_NO_WINDOW). A Ctrl+C event
// reaches the processes of a console, so this process attaches to the child's console for as long
// as it takes to raise one there; its own handler swallows the event it gets itself. (A console
// shared with this process would not do: Wine gives a program started from a Unix shell without
// a terminal no usable console, and a new process group is deaf to Ctrl+C and, under Wine, to
// Ctrl+Break sent from another console.) Windows has no way to close a console without a window
// from outside, and Wine raises no close event on request, so SIGTERM cannot be sent.
#include "tests/integration/support/gatewayprocess.h"

#include <windows.h>

#include <csignal>
#include <functional>
#include <stdexcept>

namespace integration {

struct GatewayProcess::Child {
    HANDLE process = nullptr;
};

namespace {

constexpr DWORD READ_POLL_MS = 5;

// Starting children and raising events on their consoles: one at a time, as both change which
// handles are inherited and which console this process is attached to.
std::mutex& console_mutex() {
    static std::mutex mutex;
    return mutex;
}

BOOL WINAPI swallow_ctrl_c(DWORD event) { return event == CTRL_C_EVENT ? TRUE : FALSE; }

// One argument as the C runtime's parser splits the command line again (backslashes double
// only before a quote).
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

std::string command_line(const std::string& program, const std::vector<std::string>& args) {
    std::string line = quoted(program);
    for (const auto& arg : args) line += " " + quoted(arg);
    return line;
}

// NAME=value strings one after the other, each ended by a zero, the block by one more.
std::vector<char> environment_block(const std::map<std::string, std::string>& overrides) {
    std::vector<char> block;
    for (const auto& [key, value] : merged_environment(overrides)) {
        const std::string entry = key + "=" + value;
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

// The child's output as a text-mode stream of the C runtime reads it: "\r\n" becomes "\n", also
// where a read ends between the two.
class TextReader {
public:
    std::string lines(const char* data, std::size_t size) {
        std::string text;
        for (std::size_t i = 0; i < size; ++i) {
            if (carriage_return_ && data[i] != '\n') text += '\r';
            carriage_return_ = data[i] == '\r';
            if (!carriage_return_) text += data[i];
        }
        return text;
    }
    std::string rest() const { return carriage_return_ ? "\r" : ""; }

private:
    bool carriage_return_ = false;
};

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
}

// A pipe whose write end the child inherits.
void make_pipe(HANDLE* read_end, HANDLE* write_end) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(read_end, write_end, &inheritable, 0)) throw system_error("CreatePipe");
    SetHandleInformation(*read_end, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

void keep_from_child_processes(std::intptr_t native_handle) {
    SetHandleInformation(reinterpret_cast<HANDLE>(native_handle), HANDLE_FLAG_INHERIT, 0);
}

void GatewayProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env) {
    std::string line = command_line(program, args);
    std::vector<char> environment = environment_block(env);
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    PROCESS_INFORMATION info{};
    {
        std::lock_guard<std::mutex> lock(console_mutex());
        make_pipe(&out_read, &out_write);
        make_pipe(&err_read, &err_write);
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE nothing_to_read = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                             OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nothing_to_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        const BOOL started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                            environment.data(), nullptr, &startup, &info);
        const DWORD error = GetLastError();
        close_handle(nothing_to_read);
        close_handle(out_write);
        close_handle(err_write);
        if (!started) {
            close_handle(out_read);
            close_handle(err_read);
            SetLastError(error);
            throw system_error("CreateProcess " + program);
        }
    }
    CloseHandle(info.hThread);
    child_ = new Child{info.hProcess};
    pid_ = info.dwProcessId;
    // The end of the output is the child's end with its pipe drained, not the pipe's closing: the
    // console host that Wine starts for the child inherits the write end and may outlive it.
    const auto read_pipe = [this, process = info.hProcess](HANDLE pipe, std::string& into, std::size_t limit) {
        char buffer[4096];
        TextReader text;
        for (;;) {
            const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
            DWORD waiting = 0, n = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) break;  // every writer gone
            if (waiting == 0) {
                if (ended) break;
                Sleep(READ_POLL_MS);
                continue;
            }
            if (!ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
            const std::string lines = text.lines(buffer, n);
            if (!take_output(into, lines.data(), lines.size(), limit)) break;
        }
        const std::string rest = text.rest();
        take_output(into, rest.data(), rest.size(), limit);
        CloseHandle(pipe);
    };
    out_reader_ = std::thread(read_pipe, out_read, std::ref(out_), stdout_limit_);
    err_reader_ = std::thread(read_pipe, err_read, std::ref(err_), WHOLE_OUTPUT);
}

void GatewayProcess::release_child() {
    if (child_ != nullptr) close_handle(child_->process);
    delete child_;
    child_ = nullptr;
}

bool GatewayProcess::can_send(int signal_number) { return signal_number == SIGINT; }

bool GatewayProcess::send_signal(int signal_number) {
    if (exited_ || !can_send(signal_number)) return false;
    std::lock_guard<std::mutex> lock(console_mutex());
    static const bool swallowing = SetConsoleCtrlHandler(swallow_ctrl_c, TRUE) != 0;
    if (!swallowing) return false;
    // Attaching replaces the standard handles with the console's: this process's own come back after.
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE),
                 err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    bool raised = false;
    if (AttachConsole(static_cast<DWORD>(pid_))) {
        // Group 0: every process on that console, the child and this one.
        raised = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
        FreeConsole();
    }
    SetStdHandle(STD_INPUT_HANDLE, in);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    return raised;
}

bool GatewayProcess::kill() {
    return !exited_ && TerminateProcess(child_->process, static_cast<UINT>(KILLED_STATUS)) != 0;
}

bool GatewayProcess::collect_exit(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(child_->process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(child_->process, &code);
    status_ = static_cast<int>(code);
    return true;
}

}  // namespace integration
