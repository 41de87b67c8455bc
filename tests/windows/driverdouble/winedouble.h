// The driver double seen from the Linux side: every control request runs doublectl.exe under
// Wine in the double's prefix. Paths come from the environment that scripts/driverdouble sets:
// DRIVERDOUBLE_WINE (the Wine loader), DRIVERDOUBLE_CTL (doublectl.exe), WINEPREFIX.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace driverdouble {

// One request a card received, as doublectl prints it.
struct SeenRequest {
    uint32_t major = 0;
    uint32_t code = 0;
    uint32_t input_length = 0;
    uint32_t output_length = 0;
    std::vector<uint8_t> input;  // the first input bytes (at most 16)

    bool is_device_control() const { return major == 14; }
    uint64_t input_value() const;  // the input read as a little-endian number
};

class WineDouble {
public:
    // Reads the paths from the environment; throws std::runtime_error when one is missing.
    WineDouble();

    const std::string& wine() const { return wine_; }

    void reset();
    void add_card(uint32_t number);
    void remove_card(uint32_t number);
    void break_card(uint32_t number);
    void set_infos(uint32_t number, const std::vector<uint8_t>& record);
    void inject(uint32_t number, const std::vector<std::vector<uint8_t>>& blocks);
    std::vector<SeenRequest> log(uint32_t number);
    std::map<std::string, uint64_t> state(uint32_t number);
    bool wait_pending(uint32_t number, uint32_t count, unsigned timeout_ms);

private:
    // Runs doublectl with `args`; its standard output, throwing when it exits nonzero unless
    // `status` is given.
    std::string run(const std::vector<std::string>& args, int* status = nullptr);

    std::string wine_;
    std::string ctl_;
    std::string scratch_;
};

// The card requests of a log, open and close left out.
std::vector<SeenRequest> device_controls(const std::vector<SeenRequest>& log);
std::size_t count_code(const std::vector<SeenRequest>& log, uint32_t code);

// Reads a whole command's output (standard output only) and its exit status.
std::string capture_command(const std::vector<std::string>& argv, int* status);

}  // namespace driverdouble
