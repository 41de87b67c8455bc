// The device layer behind the card calls: a registry of devices by device number.
// Programs that serve simulated cards offer their maker, which builds them from LINKSCOPE_SIM;
// tests install their own devices.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One card as its driver serves it. request() is called from several threads at once:
// a LINKSCOPE_IOCTL_WAIT_EVENTS may be pending while others set the sniffer or the epoch,
// and LINKSCOPE_IOCTL_RELEASE_WAIT must end that pending wait at once.
class Device {
public:
    virtual ~Device() = default;

    // False once the card has gone (unplugged): opens fail from then on.
    virtual bool is_present() const { return true; }

    // A handle to this device was opened / closed. Only one handle exists at a time.
    virtual void on_open() {}
    virtual void on_close() {}

    // Serves one request. `out` may be null with out_size 0; `bytes_returned` may be null.
    // Returns false when the driver refuses or fails the request.
    virtual bool request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                         uint32_t* bytes_returned) = 0;
};

// The simulated cards that a maker built from the value of LINKSCOPE_SIM.
struct SimulatedCards {
    std::map<int, std::shared_ptr<Device>> devices;  // by device number
    std::string error;                                // non-empty when the settings were refused
    std::vector<std::string> warnings;                // the cards exist, but something is off
};
using SimulatedCardMaker = SimulatedCards (*)(const std::string& settings);

// Offers simulated cards to the device layer: from the first open on, LINKSCOPE_SIM is read
// once and `maker` builds the cards (a refusal or warning is printed on standard error). A
// program that never offers a maker has no simulated card, whatever LINKSCOPE_SIM says.
void set_simulated_card_maker(SimulatedCardMaker maker);

// Test seam: installs `device` at `number` (replacing any simulated card there) / removes it.
void install_device(int number, std::shared_ptr<Device> device);
void remove_device(int number);

}  // namespace platform
