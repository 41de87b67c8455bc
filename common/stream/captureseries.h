// Several capture files read as one, in the order given (a ring of files, oldest first): the
// UDP datagrams of each pcap or pcapng file in turn. Only one file is open at a time; every
// file was checked to be a capture when the series was opened. A damaged file ends early and
// the next one goes on; problem() names the first damaged one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/stream/capturefile.h"

class CaptureSeries {
public:
    // Null with `error` set when `paths` is empty or one of them is no capture this reader takes.
    static std::unique_ptr<CaptureSeries> open(const std::vector<std::string>& paths, std::string* error);

    bool next(CaptureFile::Packet& out);
    void rewind();

    uint64_t skipped() const { return skipped_; }
    bool damaged() const { return !problem_.empty(); }
    const std::string& problem() const { return problem_; }
    uint32_t unknown_link_type() const { return unknown_link_type_; }
    std::size_t files() const { return paths_.size(); }

private:
    explicit CaptureSeries(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    // Closes the current file, keeping what it told; false when none is left.
    bool open_next();
    void take_counts();

    const std::vector<std::string> paths_;
    std::size_t next_path_ = 0;
    std::unique_ptr<CaptureFile> current_;
    std::string current_path_;
    uint64_t skipped_ = 0;
    std::string problem_;
    uint32_t unknown_link_type_ = 0;
};
