// Card I/O on Windows: the registry's test devices and simulated cards first, otherwise the
// card's driver through its device name.
//
// The handle is opened for overlapped I/O, as the driver expects, so that a pending wait for
// events does not hold back the requests of other threads. Each request therefore brings its
// own OVERLAPPED record with an event and waits for its completion: a request issued on such a
// handle without one may return while the driver still holds it and complete later into a
// status block that is long gone.
#include "platform/deviceio.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/driver/devicepath.h"
#include "platform/deviceregistry.h"

namespace platform {

struct DeviceHandleData {
    int number;
    std::shared_ptr<Device> device;  // null for a card of the driver
    std::unique_ptr<CardLock> lock;
    HANDLE driver_handle;
};

namespace {

class LockFile : public CardLock {
public:
    explicit LockFile(HANDLE file) : file_(file) {}
    // Closing the file releases its lock.
    ~LockFile() override { CloseHandle(file_); }

private:
    HANDLE file_;
};

std::string temp_directory() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    if (n == 0 || n > MAX_PATH) return ".\\";
    return std::string(buffer, n);
}

std::string lock_directory() {
    if (const char* dir = std::getenv("LINKSCOPE_LOCK_DIR")) return dir;
    return temp_directory() + "linkscope";
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Creates `dir` and any missing parents; existing levels are left alone.
void make_directories(const std::string& dir) {
    for (std::size_t i = 1; i < dir.size(); ++i) {
        if (is_separator(dir[i]) && dir[i - 1] != ':' && !is_separator(dir[i - 1]))
            CreateDirectoryA(dir.substr(0, i).c_str(), nullptr);
    }
    CreateDirectoryA(dir.c_str(), nullptr);
}

HANDLE open_driver_device(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

bool overlapped_request(HANDLE device, uint32_t code, const void* in, uint32_t in_size, void* out,
                        uint32_t out_size, uint32_t* bytes_returned) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    DWORD returned = 0;
    BOOL done = DeviceIoControl(device, code, const_cast<void*>(in), in_size, out, out_size, &returned, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(device, &overlapped, &returned, TRUE);
    CloseHandle(overlapped.hEvent);
    if (bytes_returned) *bytes_returned = done ? returned : 0;
    return done != FALSE;
}

}  // namespace

std::unique_ptr<CardLock> lock_card_across_processes(int number) {
    const std::string dir = lock_directory();
    make_directories(dir);
    const std::string path = dir + "\\LINKSCOPE" + std::to_string(number) + ".lock";
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "LINKSCOPE_SIM: cannot create lock file %s: Windows error %lu\n", path.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return nullptr;
    }
    OVERLAPPED whole_file{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole_file)) {
        CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<LockFile>(file);
}

DeviceHandle device_open(const char* path) {
    int number = 0;
    if (!linkscope::parse_device_path(path, &number)) return INVALID_DEVICE_HANDLE;
    RegisteredOpen opened = open_registered_device(number);
    if (opened.device) return new DeviceHandleData{number, std::move(opened.device), std::move(opened.lock), nullptr};
    const HANDLE driver = opened.registered ? INVALID_HANDLE_VALUE : open_driver_device(path);
    if (driver == INVALID_HANDLE_VALUE) return INVALID_DEVICE_HANDLE;
    return new DeviceHandleData{number, nullptr, nullptr, driver};
}

bool device_is_busy(const char* path) {
    int number = 0;
    if (!linkscope::parse_device_path(path, &number)) return false;
    const RegisteredHold hold = registered_device_hold(number);
    if (hold != RegisteredHold::not_registered) return hold == RegisteredHold::busy;
    // A card of the driver: its exclusive open is refused while another handle holds it.
    const HANDLE probe = open_driver_device(path);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

bool device_request(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_size, void* out,
                    uint32_t out_size, uint32_t* bytes_returned) {
    if (handle == INVALID_DEVICE_HANDLE) return false;
    if (handle->device) return handle->device->request(code, in, in_size, out, out_size, bytes_returned);
    return overlapped_request(handle->driver_handle, code, in, in_size, out, out_size, bytes_returned);
}

void device_close(DeviceHandle handle) {
    if (handle == INVALID_DEVICE_HANDLE) return;
    if (handle->device)
        close_registered_device(handle->number, *handle->device);
    else
        CloseHandle(handle->driver_handle);
    delete handle;
}

}  // namespace platform
