// The station table of a bus report: 256 station records inside the report bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/analysis/busreport.h"

namespace analysis {

class StationTable {
public:
    explicit StationTable(uint8_t* report) : table_(report + report::STATIONS) {}

    // The station answered at `time`.
    void mark_present(uint8_t address, uint64_t time);
    // The station failed to answer at `time`; a change from present (or never missed) is counted.
    void mark_absent(uint8_t address, uint64_t time);
    void set_presence_nibbles(uint8_t address, uint8_t byte);
    // Copies an identification text into the field at `field` (a station:: offset), always
    // NUL-terminated and with the rest of the field cleared.
    void set_text(uint8_t address, std::size_t field, const uint8_t* text, std::size_t length);
    void set_byte(uint8_t address, std::size_t field, uint8_t value);
    // Value of tag 'P' + slot.
    void set_value(uint8_t address, std::size_t slot, uint16_t value);

private:
    uint8_t* record(uint8_t address) { return table_ + static_cast<std::size_t>(address) * station::SIZE; }

    uint8_t* table_;
};

}  // namespace analysis
