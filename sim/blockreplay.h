// A file of raw 32780-byte event blocks, served in order by a simulated card.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "sim/replaysource.h"

namespace sim {

class BlockReplay : public ReplaySource {
public:
    // Opens `path`; null with `error` set when the file cannot be read or is not a whole
    // number of blocks (at least one).
    static std::unique_ptr<BlockReplay> open(const std::string& path, std::string* error);

    uint64_t blocks() const { return blocks_; }
    uint64_t served() const { return next_; }

    // Copies the next block to `out` (32780 bytes); false when all were served or reading failed.
    bool next(uint8_t* out);
    void rewind() override { next_ = 0; }

    bool next_block(uint8_t* out, uint64_t*) override { return next(out); }
    bool timed() const override { return false; }

private:
    BlockReplay(const std::string& path, uint64_t blocks) : path_(path), file_(path, std::ios::binary), blocks_(blocks) {}

    std::string path_;
    std::ifstream file_;
    uint64_t blocks_;
    uint64_t next_ = 0;
};

}  // namespace sim
