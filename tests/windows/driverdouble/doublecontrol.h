// Win32 client of the driver double's control device: steers the double's cards and reads back
// what they received.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/driver/deviceinfos.h"

namespace driverdouble {

// One entry of a card's request log, in order of arrival.
struct LoggedRequest {
    uint32_t major = 0;  // DOUBLE_MAJOR_*
    uint32_t code = 0;
    uint32_t input_length = 0;
    uint32_t output_length = 0;
    std::array<uint8_t, 16> input{};

    bool is_device_control() const;
    uint32_t input_u32() const;
    uint64_t input_u64() const;
};

struct CardState {
    uint32_t pending_waits = 0;
    uint32_t queued_blocks = 0;
    bool broken = false;
    uint32_t sniffer = 0;
    uint32_t sniffer_set = 0;
    uint32_t epoch_set = 0;
    uint64_t epoch = 0;
    uint32_t opens = 0;
    uint32_t closes = 0;
};

class ControlError : public std::runtime_error {
public:
    ControlError(const std::string& what, unsigned long win32_error);
    unsigned long win32_error() const { return error_; }

private:
    unsigned long error_;
};

class DoubleControl {
public:
    // Opens the control device; throws ControlError when the double is not running.
    DoubleControl();
    ~DoubleControl();
    DoubleControl(const DoubleControl&) = delete;
    DoubleControl& operator=(const DoubleControl&) = delete;

    // Each throws ControlError when the double refuses the request.
    void reset();
    void add_card(uint32_t number);
    void remove_card(uint32_t number);
    void set_infos(uint32_t number, const linkscope::device_infos& infos);
    void inject(uint32_t number, const std::vector<uint8_t>& block);
    void break_card(uint32_t number);
    std::vector<LoggedRequest> read_log(uint32_t number);
    CardState read_state(uint32_t number);

    // Polls the card's state until `count` waits are pending; false after `timeout_ms`.
    bool wait_for_pending_waits(uint32_t number, uint32_t count, unsigned timeout_ms);

private:
    std::vector<uint8_t> request(uint32_t code, const std::vector<uint8_t>& input, std::size_t output_size,
                                 const char* what);

    void* handle_;
};

// The card requests of a log (open, close and cleanup left out).
std::vector<LoggedRequest> device_controls(const std::vector<LoggedRequest>& log);
// The number of logged requests with `code`.
std::size_t count_code(const std::vector<LoggedRequest>& log, uint32_t code);
// A readable name for a request code, for failure messages.
std::string code_name(uint32_t code);

}  // namespace driverdouble
