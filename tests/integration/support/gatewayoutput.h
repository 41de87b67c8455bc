// Reads the figures that busgated prints on its log (standard output): the index gaps that the
// card showed ("fip frame loss" lines) and the records the queue refused ("buffer full" lines).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace integration {

class GatewayOutput {
public:
    explicit GatewayOutput(std::string text) : text_(std::move(text)) {}

    // (last index, next index) of each frame loss line, in order.
    std::vector<std::pair<uint64_t, uint64_t>> frame_losses() const;

    // The "since start" count of the last "buffer full" line; 0 without one.
    uint64_t dropped_records() const;
    std::size_t buffer_full_lines() const;

private:
    std::string text_;
};

}  // namespace integration
