// Buffer file creation on Windows: created new, never through a link, and reserved in full
// before it is mapped.
#include "platform/bufferfile.h"

#include <windows.h>

#include <stdexcept>

namespace platform {

namespace {

[[noreturn]] void refuse(const std::string& what, const std::string& path, const std::string& reason) {
    throw std::runtime_error(what + " " + path + ": " + reason);
}

std::string os_error(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    if (message.empty()) message = "Windows error " + std::to_string(error);
    return message;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The end of the drive or share part of `dir` ("C:\", "\\server\share\"), which is not created.
std::string::size_type first_level_end(const std::string& dir) {
    if (dir.size() >= 2 && dir[1] == ':') return dir.size() > 2 && is_separator(dir[2]) ? 3 : 2;
    if (dir.size() >= 2 && is_separator(dir[0]) && is_separator(dir[1])) {
        std::string::size_type share = dir.find_first_of("\\/", 2);
        if (share == std::string::npos) return dir.size();
        share = dir.find_first_of("\\/", share + 1);
        return share == std::string::npos ? dir.size() : share + 1;
    }
    return is_separator(dir[0]) ? 1 : 0;
}

// A link of any kind (symbolic link, junction, mount point) is a reparse point.
void refuse_link(const std::string& level, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        refuse("buffer directory", level, "is a link (symbolic link, junction or mount point), refused");
}

void make_missing_level(const std::string& level) {
    const DWORD attributes = GetFileAttributesA(level.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            refuse("buffer directory", level, "cannot be examined (" + os_error(error) + ")");
        if (!CreateDirectoryA(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            refuse("buffer directory", level, "cannot be created (" + os_error(GetLastError()) + ")");
        return;
    }
    refuse_link(level, attributes);
}

void make_missing_levels(const std::string& dir) {
    for (std::string::size_type end = dir.find_first_of("\\/", first_level_end(dir)); ;
         end = dir.find_first_of("\\/", end + 1)) {
        const std::string level = dir.substr(0, end);
        if (!level.empty() && !is_separator(level.back())) make_missing_level(level);
        if (end == std::string::npos) return;
    }
}

void check_buffer_directory(const std::string& dir) {
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        refuse("buffer directory", dir, "cannot be examined (" + os_error(GetLastError()) + ")");
    refuse_link(dir, attributes);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) refuse("buffer directory", dir, "is not a directory");
}

bool disk_is_full(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

std::string free_space_text(const std::string& path) {
    std::string dir = path;
    const std::string::size_type slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(dir.c_str(), &available, nullptr, nullptr)) return "";
    return ", " + std::to_string(available.QuadPart) + " bytes free";
}

// The lock lies far beyond the end of any buffer file: a byte-range lock on Windows also bars
// reads and writes through other handles, which the lock must not do to the mapped bytes.
constexpr DWORD LOCK_OFFSET_HIGH = 0x40000000;  // byte 2^62

OVERLAPPED lock_position() {
    OVERLAPPED position{};
    position.OffsetHigh = LOCK_OFFSET_HIGH;
    return position;
}

bool take_lock(HANDLE file) {
    OVERLAPPED position = lock_position();
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &position) != 0;
}

void give_lock_back(HANDLE file) {
    OVERLAPPED position = lock_position();
    UnlockFileEx(file, 0, 1, 0, &position);
}

// Other handles may read, write and delete: the queue maps the file while this one holds the lock.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Sets the end of the file at `size`; Windows allocates the space with it.
DWORD reserve(HANDLE file, uint64_t size) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return GetLastError();
    return ERROR_SUCCESS;
}

}  // namespace

void prepare_buffer_directory(const std::string& dir) {
    const std::string checked = dir.empty() ? "." : dir;
    make_missing_levels(checked);
    check_buffer_directory(checked);
}

void remove_buffer_file(const std::string& path) noexcept { DeleteFileA(path.c_str()); }

BufferFileLock create_buffer_file(const std::string& path, uint64_t size) {
    if (size == 0) refuse("buffer file", path, "a size of 0 bytes cannot hold the queue");
    // CREATE_NEW never opens what exists, a link included.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        refuse("buffer file", path, "cannot be created (" + os_error(GetLastError()) + ")");
    // Locked before anything else, so that a gateway starting meanwhile finds it in use.
    const DWORD error = take_lock(file) ? reserve(file, size) : GetLastError();
    if (error == ERROR_SUCCESS) return BufferFileLock(reinterpret_cast<std::intptr_t>(file));
    CloseHandle(file);
    DeleteFileA(path.c_str());
    if (disk_is_full(error))
        refuse("buffer file", path, "disk too full for " + std::to_string(size) + " bytes" + free_space_text(path));
    refuse("buffer file", path, "cannot reserve " + std::to_string(size) + " bytes (" + os_error(error) + ")");
}

bool buffer_file_in_use(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return false;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A handle that shares nothing holds the file as firmly as a lock.
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    // Locks are per handle: a new handle's lock conflicts with every other holder, this process included.
    bool in_use = false;
    if (take_lock(file))
        give_lock_back(file);
    else
        in_use = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(file);
    return in_use;
}

}  // namespace platform
