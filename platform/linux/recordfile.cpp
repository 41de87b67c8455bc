#include "platform/recordfile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

constexpr mode_t FILE_MODE = 0644;

std::string reason(int error) { return std::strerror(error); }

// A write to a pipe whose reader went away raises SIGPIPE: held back for this thread while the
// write runs, then taken away, so that the write fails with EPIPE instead of ending the process.
class PipeSignalHold {
public:
    PipeSignalHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~PipeSignalHold() {
        const timespec none{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalHold(const PipeSignalHold&) = delete;
    PipeSignalHold& operator=(const PipeSignalHold&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
};

}  // namespace

RecordFile::~RecordFile() { close(); }

bool RecordFile::is_open() const { return handle_ >= 0; }

void RecordFile::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

RecordFile::Opened RecordFile::open(const std::string& path) {
    close();
    // Without a reader a FIFO refuses a non-blocking open for writing (ENXIO) instead of waiting.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, FILE_MODE);
    if (fd < 0) {
        if (errno == ENXIO) return Opened::no_reader;
        error_ = reason(errno);
        return Opened::failed;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        error_ = reason(errno);
        ::close(fd);
        return Opened::failed;
    }
    regular_ = S_ISREG(status.st_mode);
    reader_left_ = false;
    interrupted_ = false;
    handle_ = fd;
    size_ = 0;
    return Opened::yes;
}

bool RecordFile::write(const uint8_t* data, std::size_t size) {
    if (handle_ < 0) {
        error_ = "not open";
        return false;
    }
    const int fd = static_cast<int>(handle_);
    PipeSignalHold hold;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n == 0 ? ENOSPC : errno;
        if (error == EINTR) continue;
        if (error == EAGAIN && !regular_) {
            // A FIFO whose reader is slow: wait for room, not for ever.
            if (wait_for_room()) continue;
        } else {
            error_ = reason(error);
            reader_left_ = error == EPIPE;
        }
        if (done > 0 && !cut_back()) error_ += "; the record written in part could not be cut off";
        return false;
    }
    size_ += size;
    return true;
}

bool RecordFile::wait_for_room() {
    // In short slices, so that a raised stop flag ends the wait soon even when its signal came
    // before the wait began.
    constexpr int SLICE_MS = 50;
    for (int waited = 0; waited < WRITE_WAIT_MS; waited += SLICE_MS) {
        if (stop_flag_ && stop_flag_->load()) {
            interrupted_ = true;
            error_ = "a stop request ended the wait for the pipe's reader";
            return false;
        }
        pollfd ready{static_cast<int>(handle_), POLLOUT, 0};
        const int polled = poll(&ready, 1, SLICE_MS);
        if (polled > 0) return true;
        if (polled < 0 && errno != EINTR) {
            error_ = reason(errno);
            return false;
        }
    }
    error_ = "nothing read the pipe for " + std::to_string(WRITE_WAIT_MS / 1000) + " s";
    return false;
}

bool RecordFile::flush_to_disk() {
    if (handle_ < 0 || !regular_) return true;
    if (fdatasync(static_cast<int>(handle_)) == 0) return true;
    error_ = reason(errno);
    return false;
}

bool RecordFile::cut_back() {
    if (!regular_) return false;
    const int fd = static_cast<int>(handle_);
    return ftruncate(fd, static_cast<off_t>(size_)) == 0 && lseek(fd, static_cast<off_t>(size_), SEEK_SET) >= 0;
}

}  // namespace platform
