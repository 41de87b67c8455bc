#include "common/stream/captureseries.h"

std::unique_ptr<CaptureSeries> CaptureSeries::open(const std::vector<std::string>& paths, std::string* error) {
    if (paths.empty()) {
        *error = "replay: no capture file to read";
        return nullptr;
    }
    // Each one now, so that a bad file is told before anything is replayed.
    for (const std::string& path : paths)
        if (!CaptureFile::open(path, error)) return nullptr;
    std::unique_ptr<CaptureSeries> series(new CaptureSeries(paths));
    series->rewind();
    return series;
}

void CaptureSeries::take_counts() {
    if (!current_) return;
    skipped_ += current_->skipped();
    if (current_->unknown_link_type()) unknown_link_type_ = current_->unknown_link_type();
    if (current_->damaged() && problem_.empty())
        problem_ = "'" + current_path_ + "' is cut short or damaged" +
                   (current_->problem().empty() ? std::string() : " (" + current_->problem() + ")");
    current_.reset();
}

bool CaptureSeries::open_next() {
    take_counts();
    while (next_path_ < paths_.size()) {
        current_path_ = paths_[next_path_++];
        std::string error;
        current_ = CaptureFile::open(current_path_, &error);
        if (current_) return true;
        // Changed since the series was opened: told as damage, and the next file goes on.
        if (problem_.empty()) problem_ = error;
    }
    return false;
}

bool CaptureSeries::next(CaptureFile::Packet& out) {
    for (;;) {
        if (current_ && current_->next(out)) return true;
        if (!open_next()) return false;
    }
}

void CaptureSeries::rewind() {
    current_.reset();
    next_path_ = 0;
    skipped_ = 0;
    problem_.clear();
    unknown_link_type_ = 0;
    open_next();
}
