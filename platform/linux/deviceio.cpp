// Device registry behind the card calls: installed test devices and simulated cards by number,
// one open handle per device, and for simulated cards an advisory lock file so that a second
// process cannot open the same card either.
#include "platform/deviceio.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "common/driver/devicepath.h"
#include "platform/device.h"
#include "sim/simulatedcards.h"

namespace platform {

struct DeviceHandleData {
    int number;
    std::shared_ptr<Device> device;
    int lock_fd;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Device>> installed;
    std::map<int, std::shared_ptr<Device>> simulated;
    std::set<int> open;
    bool simulated_loaded = false;
};

Registry& registry() {
    static Registry r;
    return r;
}

void load_simulated_cards(Registry& r) {
    if (r.simulated_loaded) return;
    r.simulated_loaded = true;
    const char* settings = std::getenv("LINKSCOPE_SIM");
    if (!settings) return;
    sim::SimulatedCards cards = sim::make_simulated_cards(settings);
    if (!cards.error.empty()) {
        std::fprintf(stderr, "LINKSCOPE_SIM: %s\n", cards.error.c_str());
        return;
    }
    for (const std::string& warning : cards.warnings) std::fprintf(stderr, "LINKSCOPE_SIM: %s\n", warning.c_str());
    r.simulated = std::move(cards.devices);
}

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

// Returns the locked descriptor, or -1 when another process holds the card.
int lock_card_across_processes(int number) {
    const std::string dir = lock_directory();
    make_directories(dir);
    const std::string path = dir + "/LINKSCOPE" + std::to_string(number) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // Without its lock file the card cannot be held exclusively, so it is not opened.
        std::fprintf(stderr, "LINKSCOPE_SIM: cannot create lock file %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether another process holds the card's lock; an unreadable lock directory tells nothing.
bool locked_by_another_process(int number) {
    const std::string path = lock_directory() + "/LINKSCOPE" + std::to_string(number) + ".lock";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // also lets go of the lock when this probe took it
    return held;
}

}  // namespace

bool device_is_busy(const char* path) {
    int number = 0;
    if (!linkscope::parse_device_path(path, &number)) return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    load_simulated_cards(r);
    std::shared_ptr<Device> device;
    bool simulated = false;
    if (auto it = r.installed.find(number); it != r.installed.end()) {
        device = it->second;
    } else if (auto sit = r.simulated.find(number); sit != r.simulated.end()) {
        device = sit->second;
        simulated = true;
    }
    if (!device || !device->is_present()) return false;
    if (r.open.count(number)) return true;
    return simulated && locked_by_another_process(number);
}

void install_device(int number, std::shared_ptr<Device> device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.installed[number] = std::move(device);
}

void remove_device(int number) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.installed.erase(number);
}

DeviceHandle device_open(const char* path) {
    int number = 0;
    if (!linkscope::parse_device_path(path, &number)) return INVALID_DEVICE_HANDLE;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    load_simulated_cards(r);
    std::shared_ptr<Device> device;
    bool simulated = false;
    if (auto it = r.installed.find(number); it != r.installed.end()) {
        device = it->second;
    } else if (auto sit = r.simulated.find(number); sit != r.simulated.end()) {
        device = sit->second;
        simulated = true;
    }
    if (!device || r.open.count(number) || !device->is_present()) return INVALID_DEVICE_HANDLE;
    int lock_fd = -1;
    if (simulated) {
        lock_fd = lock_card_across_processes(number);
        if (lock_fd < 0) return INVALID_DEVICE_HANDLE;
    }
    r.open.insert(number);
    device->on_open();
    return new DeviceHandleData{number, std::move(device), lock_fd};
}

bool device_request(DeviceHandle handle, uint32_t code, const void* in, uint32_t in_size, void* out,
                    uint32_t out_size, uint32_t* bytes_returned) {
    if (handle == INVALID_DEVICE_HANDLE) return false;
    return handle->device->request(code, in, in_size, out, out_size, bytes_returned);
}

void device_close(DeviceHandle handle) {
    if (handle == INVALID_DEVICE_HANDLE) return;
    handle->device->on_close();
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.open.erase(handle->number);
    }
    if (handle->lock_fd >= 0) close(handle->lock_fd);
    delete handle;
}

}  // namespace platform
