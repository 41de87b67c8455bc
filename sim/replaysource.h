// Where a replaying simulated card takes its event blocks from: a file of raw blocks or a
// capture of the gateway's datagrams.
#pragma once

#include <cstdint>

namespace sim {

class ReplaySource {
public:
    virtual ~ReplaySource() = default;

    // Copies the next 32780-byte event block to `out`; false when there is none left.
    // `pause_us` is the bus time from the block before to this one, as the records' time
    // stamps tell; a source without time stamps leaves it alone.
    virtual bool next_block(uint8_t* out, uint64_t* pause_us) = 0;
    // Back to the first block.
    virtual void rewind() = 0;
    // Whether next_block() gives the pause; otherwise the card paces by its interrupt period.
    virtual bool timed() const = 0;
};

}  // namespace sim
