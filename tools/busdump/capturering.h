// busdump's capture ring: -w PATH written as a row of files that close on a size (-C) or on the
// wall clock (-G, periods aligned to UTC: a 3600 s file starts on the hour), of which at most
// -W closed files are kept and which together stay within a disk budget, the oldest deleted
// first. A file is written under its name with RingNames::WRITING_SUFFIX, brought to the disk and
// renamed when it closes, so that other programs only see closed files.
//
// When a file cannot be created or written (a full disk, a folder that became unwritable), the
// ring says so once, the datagrams are not written (the caller counts them), and a new file is
// tried every RETRY_US until writing resumes, which is told too. The per-file encoding is
// CaptureOutput's; this class owns the names, the rotation and the deletions only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tools/busdump/captureoutput.h"
#include "tools/busdump/ringnames.h"

namespace busdump {

struct RingSettings {
    uint64_t file_bytes = 0;    // close a file before it would pass this size; 0: no limit
    int64_t file_us = 0;        // close a file at the end of each period of this length; 0: never
    uint64_t max_files = 0;     // closed files kept; 0: no limit
    uint64_t budget_bytes = 0;  // all files of the ring together; 0: no limit
    CaptureOutput::Format format = CaptureOutput::Format::pcap;
};

struct RingFile {
    std::string path;
    int64_t start_us = 0;
    int64_t end_us = 0;  // when it was closed; for the file being written, its last record
    uint64_t bytes = 0;
    bool open = false;   // still being written
};

class CaptureRing {
public:
    static constexpr int64_t RETRY_US = 1000000;
    // Without -C, a budget is shared by about this many files.
    static constexpr uint64_t FILES_PER_BUDGET = 10;

    using Tell = std::function<void(const std::string& line)>;
    using Closed = std::function<void(const RingFile& file)>;

    CaptureRing(const std::string& path, const RingSettings& settings, Tell tell);
    ~CaptureRing();
    CaptureRing(const CaptureRing&) = delete;
    CaptureRing& operator=(const CaptureRing&) = delete;

    // Called for every file that closes, before the ring may delete it.
    void on_closed(Closed closed) { closed_listener_ = std::move(closed); }

    // Takes in the files an earlier run left in the folder (deleting what the limits no longer
    // allow) and opens the first file, or begins an outage when it cannot; false with the
    // reason in error() only when the folder does not exist.
    bool start(int64_t now_us);
    // One datagram; false when it was not written.
    bool write(int64_t now_us, const PcapWriter::Endpoint& source, const PcapWriter::Endpoint& destination,
               const uint8_t* payload, std::size_t size, const CaptureOutput::Note& note = CaptureOutput::Note());
    // Closes the file whose period ended; after a failure, tries a new file once RETRY_US passed.
    void tick(int64_t now_us);
    // Closes the file being written, complete. Nothing is written afterwards.
    void close(int64_t now_us);
    // False once a closed file could not be brought to the disk whole (told when it happened).
    bool every_file_on_disk() const { return every_file_on_disk_; }
    // Datagrams that pcapng held in a file that then failed, since the last call.
    std::size_t take_unwritten_held() { return output_.take_unwritten_held(); }

    // The closed files, oldest first, then the file being written, if any.
    std::vector<RingFile> files() const;
    bool writing() const { return output_.state() == CaptureOutput::State::writing; }
    const std::string& error() const { return error_; }

private:
    void adopt_earlier_files(int64_t now_us);
    bool open_next(int64_t now_us, int64_t start_us);
    void close_current(int64_t now_us);
    void discard_current();
    // Takes the suffix off a closed file's name; false with the reason in error_.
    bool rename_closed(std::string& path);
    // The closed files whose renaming failed, tried again.
    void rename_complete_files();
    bool not_written();
    void rotate(int64_t now_us, int64_t start_us);
    bool period_over(int64_t now_us) const;
    int64_t period_start(int64_t now_us) const;
    void make_room(uint64_t more_bytes);
    void delete_oldest();
    void fail(int64_t now_us, const std::string& path, const std::string& reason);
    uint64_t current_bytes() const;

    const RingNames names_;
    const RingSettings settings_;
    const uint64_t file_limit_;
    const Tell tell_;
    Closed closed_listener_;

    CaptureOutput output_;
    RingFile current_;
    bool has_current_ = false;
    bool written_to_current_ = false;
    int64_t period_end_us_ = 0;
    std::deque<RingFile> closed_;
    uint64_t closed_bytes_ = 0;
    std::vector<std::string> unrenamed_;
    uint64_t next_sequence_ = 1;

    bool failing_ = false;
    int64_t retry_at_us_ = 0;
    uint64_t not_written_ = 0;  // during the present outage
    bool stopped_ = false;
    bool every_file_on_disk_ = true;
    std::string error_;
};

}  // namespace busdump
