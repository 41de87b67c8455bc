// A file written in whole records, for captures: a record lands whole or not at all (a short
// write, as on a full disk, is cut back off a regular file), and a failure comes with the
// system's reason. Opening never blocks: a FIFO that nothing reads yet is told apart so that the
// caller can try again while it does other things. Writing to a FIFO waits at most WRITE_WAIT_MS
// for its reader, and a reader that went away is an error, not the end of the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class RecordFile {
public:
    enum class Opened { yes, no_reader, failed };
    static constexpr int WRITE_WAIT_MS = 1000;

    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Creates or truncates `path`; failed with the reason in error().
    Opened open(const std::string& path);
    bool is_open() const;
    // One whole record; false with the reason in error(), the file then as it was before.
    bool write(const uint8_t* data, std::size_t size);
    // What is written reaches the disk before this returns (for a file about to be renamed as
    // complete); false with the reason in error(). Nothing to do for a pipe.
    bool flush_to_disk();
    void close();

    // Bytes of whole records written since open().
    uint64_t size() const { return size_; }

    const std::string& error() const { return error_; }
    // Whether the last write failed because the reader of a pipe closed its end.
    bool reader_left() const { return reader_left_; }
    // Once `flag` is raised, a write that waits for a slow reader fails at once (interrupted()
    // then true): a stop request is not held up by a reader that no longer reads.
    void end_wait_when(const std::atomic<bool>* flag) { stop_flag_ = flag; }
    bool interrupted() const { return interrupted_; }

private:
    bool cut_back();
    // Waits up to WRITE_WAIT_MS for room in a pipe; false with error_ set.
    bool wait_for_room();

    intptr_t handle_ = -1;
    bool regular_ = true;
    bool reader_left_ = false;
    const std::atomic<bool>* stop_flag_ = nullptr;
    bool interrupted_ = false;
    uint64_t size_ = 0;  // bytes of whole records written
    std::string error_;
};

}  // namespace platform
