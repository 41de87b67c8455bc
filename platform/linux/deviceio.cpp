// Card I/O on Linux: only the registry's test devices and simulated cards exist here. A simulated
// card is held against other processes by an advisory lock on a file of its own.
#include "platform/deviceio.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/driver/devicepath.h"
#include "platform/deviceregistry.h"

namespace platform {

struct DeviceHandleData {
    int number;
    std::shared_ptr<Device> device;
    std::unique_ptr<CardLock> lock;
};

namespace {

class LockFile : public CardLock {
public:
    explicit LockFile(int fd) : fd_(fd) {}
    ~LockFile() override { ::close(fd_); }

private:
    int fd_;
};

std::string lock_directory() {
    if (const char* dir = std::getenv("LINKSCOPE_LOCK_DIR")) return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) return std::string(runtime) + "/linkscope";
    return "/tmp/linkscope-" + std::to_string(getuid());
}

// Creates `dir` and any missing parents (private to this user).
void make_directories(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
}

}  // namespace

std::unique_ptr<CardLock> lock_card_across_processes(int number) {
    const std::string dir = lock_directory();
    make_directories(dir);
    const std::string path = dir + "/LINKSCOPE" + std::to_string(number) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "LINKSCOPE_SIM: cannot create lock file %s: %s\n", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<LockFile>(fd);
}

DeviceHandle device_open(const char* path) {
    int number = 0;
    RegisteredOpen opened;
    if (linkscope::parse_device_path(path, &number)) opened = open_registered_device(number);
    if (!opened.device) return INVALID_DEVICE_HANDLE;
    return new DeviceHandleData{number, std::move(opened.device), std::move(opened.lock)};
}

bool device_is_busy(const char* path) {
    int number = 0;
    return linkscope::parse_device_path(path, &number) && registered_device_hold(number) == RegisteredHold::busy;
}

bool device_request(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_size, void* out,
                    uint32_t out_size, uint32_t* bytes_returned) {
    if (handle == INVALID_DEVICE_HANDLE) return false;
    return handle->device->request(code, in, in_size, out, out_size, bytes_returned);
}

void device_close(DeviceHandle handle) {
    if (handle == INVALID_DEVICE_HANDLE) return;
    close_registered_device(handle->number, *handle->device);
    delete handle;
}

}  // namespace platform
