// The registry of installed test devices and simulated cards that both device I/O flavours
// consult before they look for a real card.
#pragma once

#include <memory>

#include "platform/device.h"

namespace platform {

// Holds a simulated card against other processes for as long as it lives.
class CardLock {
public:
    virtual ~CardLock() = default;
};

// Provided by each platform: locks the card's lock file; null when another process holds the
// card or the lock file cannot be made (then the card cannot be held exclusively and stays shut).
std::unique_ptr<CardLock> lock_card_across_processes(int number);

// The outcome of opening a device number through the registry.
struct RegisteredOpen {
    bool registered = false;          // a test device or a simulated card has this number
    std::shared_ptr<Device> device;   // set when the open succeeded
    std::unique_ptr<CardLock> lock;   // set for a simulated card
};

// Opens `number` when the registry knows it: refused while it is open, gone or locked by another
// process. Not registered: the caller may look for a real card.
RegisteredOpen open_registered_device(int number);

// Whether the registry knows `number`, and if so whether that device is present but held: open
// in this process, or a simulated card whose lock another process holds. Leaves nothing open or
// locked.
enum class RegisteredHold { not_registered, free, busy };
RegisteredHold registered_device_hold(int number);

// Ends an open of `number` that open_registered_device granted.
void close_registered_device(int number, Device& device);

}  // namespace platform
