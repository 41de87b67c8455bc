// The names of the files of a capture ring, made from the name given to -w: "cap.pcap" becomes
// "cap_20261209T155200Z_000042.pcap" (start time in UTC, then a sequence number, so that the
// names sort in time order), and "cap_20261209T155200Z_000042.pcap.part" while it is written, so
// that a program that picks up "*.pcap" takes closed files only.
#pragma once

#include <cstdint>
#include <string>

namespace busdump {

class RingNames {
public:
    static constexpr const char* WRITING_SUFFIX = ".part";
    static constexpr int SEQUENCE_DIGITS = 6;

    struct Parsed {
        int64_t start_us = 0;
        uint64_t sequence = 0;
        bool writing = false;  // still carries WRITING_SUFFIX
    };

    explicit RingNames(const std::string& path);

    // The folder of the ring ("." for a bare name).
    const std::string& folder() const { return folder_; }
    // Full paths of a file of the ring, closed and while it is written.
    std::string closed(int64_t start_us, uint64_t sequence) const;
    std::string writing(int64_t start_us, uint64_t sequence) const;
    // Whether `file_name` (without its folder) is a file of this ring, and what its name says.
    bool parse(const std::string& file_name, Parsed& out) const;

private:
    std::string folder_;
    std::string stem_;
    std::string extension_;
};

}  // namespace busdump
