// Installed test devices and simulated cards by number, one open handle per device.
#include "platform/deviceregistry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace platform {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Device>> installed;
    std::map<int, std::shared_ptr<Device>> simulated;
    std::set<int> open;
    SimulatedCardMaker maker = nullptr;
    bool simulated_loaded = false;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Once a maker is offered, the first open builds the cards that LINKSCOPE_SIM asks for.
void load_simulated_cards(Registry& r) {
    if (r.simulated_loaded || !r.maker) return;
    r.simulated_loaded = true;
    const char* settings = std::getenv("LINKSCOPE_SIM");
    if (!settings) return;
    SimulatedCards cards = r.maker(settings);
    if (!cards.error.empty()) {
        std::fprintf(stderr, "LINKSCOPE_SIM: %s\n", cards.error.c_str());
        return;
    }
    for (const std::string& warning : cards.warnings) std::fprintf(stderr, "LINKSCOPE_SIM: %s\n", warning.c_str());
    r.simulated = std::move(cards.devices);
}

// A test device installed at `number` comes before a simulated card there.
std::shared_ptr<Device> find_device(const Registry& r, int number, bool* simulated) {
    *simulated = false;
    if (auto it = r.installed.find(number); it != r.installed.end()) return it->second;
    if (auto it = r.simulated.find(number); it != r.simulated.end()) {
        *simulated = true;
        return it->second;
    }
    return nullptr;
}

}  // namespace

void set_simulated_card_maker(SimulatedCardMaker maker) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.maker = maker;
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

RegisteredOpen open_registered_device(int number) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    load_simulated_cards(r);
    RegisteredOpen result;
    bool simulated = false;
    std::shared_ptr<Device> device = find_device(r, number, &simulated);
    result.registered = device != nullptr;
    if (!device || r.open.count(number) || !device->is_present()) return result;
    if (simulated) {
        // The lock file's calls must not change what the caller finds in errno.
        const int caller_errno = errno;
        result.lock = lock_card_across_processes(number);
        errno = caller_errno;
        if (!result.lock) return result;
    }
    r.open.insert(number);
    device->on_open();
    result.device = std::move(device);
    return result;
}

RegisteredHold registered_device_hold(int number) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    load_simulated_cards(r);
    bool simulated = false;
    std::shared_ptr<Device> device = find_device(r, number, &simulated);
    if (!device) return RegisteredHold::not_registered;
    if (!device->is_present()) return RegisteredHold::free;
    if (r.open.count(number)) return RegisteredHold::busy;
    if (!simulated) return RegisteredHold::free;
    const int caller_errno = errno;
    // Taking the lock for a moment tells whether another process has it; it is let go at once.
    const bool held_elsewhere = lock_card_across_processes(number) == nullptr;
    errno = caller_errno;
    return held_elsewhere ? RegisteredHold::busy : RegisteredHold::free;
}

void close_registered_device(int number, Device& device) {
    device.on_close();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.open.erase(number);
}

}  // namespace platform
