// Reads the packets out of a pcapng file block by block: section headers (either byte order,
// any number of sections), interface descriptions (link type, time stamp resolution and
// offset), enhanced and simple packet blocks; every other block is stepped over by its length.
// Every length is checked against the block and the file before it is used: a block that is
// cut short, too long, misaligned, or whose two lengths differ ends the reading, and problem()
// says where and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

class PcapngReader {
public:
    // Larger than any block a capture tool writes for one packet; a longer one is damage.
    static constexpr uint32_t MAX_BLOCK_SIZE = 1u << 20;
    static constexpr std::size_t MAX_INTERFACES = 65536;  // per section

    struct Frame {
        uint32_t link_type = 0;
        uint32_t interface = 0;
        int64_t time_us = 0;  // microseconds since 1970; 0 for a simple packet block
        bool whole = true;    // captured length equals the original length
        std::vector<uint8_t> bytes;
    };
    enum class Result { packet, end, damaged };

    // Whether these first bytes start a pcapng file (a section header block).
    static bool is_pcapng(const uint8_t* first, std::size_t size);

    // Reads from `in`, which starts at the file's first block; checks the first section header
    // and returns false with `error` set when it is none this reader knows.
    bool start(std::istream* in, std::string* error);
    Result next(Frame& out);
    void rewind();
    // Where and why the reading ended early.
    const std::string& problem() const { return problem_; }

private:
    struct Interface {
        uint32_t link_type = 0;
        bool binary = false;  // resolution a power of 2
        uint8_t exponent = 6;
        int64_t offset_s = 0;
    };

    uint32_t word(const uint8_t* bytes) const;
    uint16_t half(const uint8_t* bytes) const;
    uint64_t dword(const uint8_t* bytes) const;
    // Reads the block at the current position into block_; false (problem_ set) when damaged.
    bool read_block(uint32_t& type, bool& at_end);
    bool skip_block(uint32_t length);
    bool section_header();
    bool interface_description();
    bool packet(uint32_t type, Frame& out);
    bool damage(const std::string& why);
    int64_t time_us(const Interface& interface, uint64_t stamp) const;

    std::istream* in_ = nullptr;
    bool swapped_ = false;  // the section is big-endian
    std::vector<Interface> interfaces_;
    std::vector<uint8_t> block_;
    uint64_t block_offset_ = 0;
    std::string problem_;
};
