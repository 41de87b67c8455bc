#include "platform/recordfile.h"

#include <windows.h>

#include <cctype>

namespace platform {

namespace {

std::string reason(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, sizeof text, nullptr);
    std::string out(text, length);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out.empty() ? "error " + std::to_string(error) : out;
}

HANDLE handle_of(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool is_pipe_name(const std::string& path) {
    static const std::string PIPE_PREFIX = "\\\\.\\pipe\\";
    if (path.size() <= PIPE_PREFIX.size()) return false;
    for (std::size_t i = 0; i < PIPE_PREFIX.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[i])) != PIPE_PREFIX[i]) return false;
    return true;
}

}  // namespace

RecordFile::~RecordFile() { close(); }

bool RecordFile::is_open() const { return handle_ != -1; }

void RecordFile::close() {
    if (handle_ != -1) CloseHandle(handle_of(handle_));
    handle_ = -1;
}

RecordFile::Opened RecordFile::open(const std::string& path) {
    close();
    // A named pipe (Wireshark's for an external capture) exists already: it is opened, not made.
    const DWORD disposition = is_pipe_name(path) ? OPEN_EXISTING : CREATE_ALWAYS;
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = reason(GetLastError());
        return Opened::failed;
    }
    regular_ = GetFileType(file) == FILE_TYPE_DISK;
    reader_left_ = false;
    interrupted_ = false;
    handle_ = reinterpret_cast<intptr_t>(file);
    size_ = 0;
    return Opened::yes;
}

bool RecordFile::write(const uint8_t* data, std::size_t size) {
    if (handle_ == -1) {
        error_ = "not open";
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(size - done);
        const BOOL ok = WriteFile(handle_of(handle_), data + done, chunk, &written, nullptr);
        if (!ok || written == 0) {
            const DWORD error = ok ? ERROR_DISK_FULL : GetLastError();
            error_ = reason(error);
            // The pipe's server closed its end (ERROR_NO_DATA) or went away (ERROR_BROKEN_PIPE).
            reader_left_ = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
            if (done > 0 && !cut_back()) error_ += "; the record written in part could not be cut off";
            return false;
        }
        done += written;
    }
    size_ += size;
    return true;
}

// Writes to a pipe block in WriteFile: a stop there ends the process or closes the pipe.
bool RecordFile::wait_for_room() { return false; }

bool RecordFile::flush_to_disk() {
    if (handle_ == -1 || !regular_) return true;
    if (FlushFileBuffers(handle_of(handle_))) return true;
    error_ = reason(GetLastError());
    return false;
}

bool RecordFile::cut_back() {
    if (!regular_) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size_);
    return SetFilePointerEx(handle_of(handle_), at, nullptr, FILE_BEGIN) && SetEndOfFile(handle_of(handle_));
}

}  // namespace platform
