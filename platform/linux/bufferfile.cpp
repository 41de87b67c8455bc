// Buffer file creation with the checks a root-run gateway needs under a world-writable /tmp.
#include "platform/bufferfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace platform {

namespace {

constexpr mode_t BUFFER_DIRECTORY_MODE = 0700;
constexpr mode_t BUFFER_FILE_MODE = 0600;

[[noreturn]] void refuse(const std::string& what, const std::string& path, const std::string& reason) {
    throw std::runtime_error(what + " " + path + ": " + reason);
}

std::string os_error(int error) { return std::strerror(error); }

void make_directory_level(const std::string& level) {
    if (::mkdir(level.c_str(), BUFFER_DIRECTORY_MODE) == 0 || errno == EEXIST) return;
    refuse("buffer directory", level, "cannot be created (" + os_error(errno) + ")");
}

void make_missing_levels(const std::string& dir) {
    for (std::string::size_type end = dir.find('/', 1); ; end = dir.find('/', end + 1)) {
        const std::string level = dir.substr(0, end);
        struct stat st;
        if (::lstat(level.c_str(), &st) != 0) {
            if (errno != ENOENT) refuse("buffer directory", level, "cannot be examined (" + os_error(errno) + ")");
            make_directory_level(level);
        } else if (S_ISLNK(st.st_mode)) {
            // A link above the directory would carry the levels below it anywhere.
            refuse("buffer directory", level, "is a symbolic link, refused");
        }
        if (end == std::string::npos) return;
    }
}

// Root can replace anything anyway; any other owner could swap the file under us.
bool trusted_owner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

void check_buffer_directory(const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        refuse("buffer directory", dir, "cannot be examined (" + os_error(errno) + ")");
    if (S_ISLNK(st.st_mode)) refuse("buffer directory", dir, "is a symbolic link, refused");
    if (!S_ISDIR(st.st_mode)) refuse("buffer directory", dir, "is not a directory");
    if (!trusted_owner(st.st_uid))
        refuse("buffer directory", dir, "belongs to another user (uid " + std::to_string(st.st_uid) + "), refused");
}

std::string free_space_text(int fd) {
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0) return "";
    const unsigned long long free_bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    return ", " + std::to_string(free_bytes) + " bytes free";
}

}  // namespace

void prepare_buffer_directory(const std::string& dir) {
    const std::string checked = dir.empty() ? "." : dir;
    make_missing_levels(checked);
    check_buffer_directory(checked);
}

void remove_buffer_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

BufferFileLock create_buffer_file(const std::string& path, uint64_t size) {
    if (size == 0) refuse("buffer file", path, "a size of 0 bytes cannot hold the queue");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, BUFFER_FILE_MODE);
    if (fd < 0) refuse("buffer file", path, "cannot be created (" + os_error(errno) + ")");
    // Locked before anything else, so that a gateway starting meanwhile finds it in use.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        refuse("buffer file", path, "cannot be locked (" + os_error(error) + ")");
    }
    const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (error != 0) {
        const std::string free_text = error == ENOSPC ? free_space_text(fd) : "";
        ::close(fd);
        ::unlink(path.c_str());
        if (error == ENOSPC)
            refuse("buffer file", path, "disk too full for " + std::to_string(size) + " bytes" + free_text);
        refuse("buffer file", path, "cannot reserve " + std::to_string(size) + " bytes (" + os_error(error) + ")");
    }
    return BufferFileLock(fd);
}

bool buffer_file_in_use(const std::string& path) {
    // Only a regular file is opened: opening a device or a FIFO could block or act.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    // A lock of our own on a new open file conflicts with every other holder, this process included.
    const bool in_use = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return in_use;
}

}  // namespace platform
