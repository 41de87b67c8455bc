#include "tools/busdump/capturering.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace busdump {

namespace fs = std::filesystem;

namespace {

uint64_t file_limit_of(const RingSettings& s) {
    uint64_t limit = s.file_bytes;
    if (s.budget_bytes) {
        // Without a size of their own, files of a tenth of the budget, with -G too: one file as
        // large as the budget would take every earlier file with it as it grew.
        if (!limit) limit = s.budget_bytes / CaptureRing::FILES_PER_BUDGET;
        limit = std::min(limit, s.budget_bytes);
    }
    return limit;
}

// Floor division, so that a period of the clock before 1970 still starts on its boundary.
int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

CaptureRing::CaptureRing(const std::string& path, const RingSettings& settings, Tell tell)
    : names_(path), settings_(settings), file_limit_(file_limit_of(settings)), tell_(std::move(tell)) {}

CaptureRing::~CaptureRing() {
    // A run that ends without close() still leaves no file without its suffix half-written.
    output_.close();
}

bool CaptureRing::start(int64_t now_us) {
    std::error_code ec;
    if (!fs::is_directory(names_.folder(), ec)) {
        error_ = "the folder " + names_.folder() + " does not exist";
        return false;
    }
    adopt_earlier_files(now_us);
    // A folder that is there but takes no file now (a full disk) is an outage like any later.
    if (!open_next(now_us, now_us)) fail(now_us, current_.path, error_);
    return true;
}

void CaptureRing::adopt_earlier_files(int64_t now_us) {
    std::vector<std::pair<RingNames::Parsed, RingFile>> found;
    std::error_code ec;
    for (fs::directory_iterator it(names_.folder(), ec), end; !ec && it != end; it.increment(ec)) {
        RingNames::Parsed parsed;
        if (!it->is_regular_file(ec) || !names_.parse(it->path().filename().string(), parsed)) continue;
        RingFile file;
        file.path = it->path().string();
        file.start_us = parsed.start_us;
        file.bytes = it->file_size(ec);
        if (ec) continue;
        found.emplace_back(parsed, file);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first.start_us != b.first.start_us ? a.first.start_us < b.first.start_us
                                                    : a.first.sequence < b.first.sequence;
    });
    std::size_t unfinished = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        RingFile& file = found[i].second;
        // What a file holds ends where the next one starts; the newest one ends before this run.
        file.end_us = i + 1 < found.size() ? found[i + 1].second.start_us : now_us;
        next_sequence_ = std::max(next_sequence_, found[i].first.sequence + 1);
        if (found[i].first.writing) ++unfinished;
        closed_.push_back(file);
        closed_bytes_ += file.bytes;
    }
    if (unfinished)
        tell_("busdump: " + std::to_string(unfinished) + " file(s) of an earlier run in " + names_.folder() +
              " were not closed (they keep their " + RingNames::WRITING_SUFFIX +
              " suffix and may end inside a record); they count as the ring's oldest files");
    while (settings_.max_files && closed_.size() > settings_.max_files) delete_oldest();
    make_room(0);
}

bool CaptureRing::open_next(int64_t now_us, int64_t start_us) {
    const uint64_t sequence = next_sequence_++;
    current_ = RingFile{names_.writing(start_us, sequence), start_us, now_us, 0};
    written_to_current_ = false;
    if (!output_.open(current_.path, settings_.format) || output_.state() != CaptureOutput::State::writing) {
        error_ = output_.error();
        std::error_code ignored;
        fs::remove(current_.path, ignored);  // created, but its header did not fit
        has_current_ = false;
        return false;
    }
    has_current_ = true;
    period_end_us_ = settings_.file_us ? period_start(now_us) + settings_.file_us : 0;
    make_room(0);
    return true;
}

void CaptureRing::close_current(int64_t now_us) {
    if (!has_current_) return;
    has_current_ = false;
    if (!output_.close()) {
        every_file_on_disk_ = false;
        tell_("busdump: " + current_.path + " may not be whole on the disk: " + output_.error());
    }
    RingFile file = current_;
    file.end_us = now_us;
    file.bytes = output_.bytes();
    if (!rename_closed(file.path)) {
        unrenamed_.push_back(file.path);
        tell_("busdump: cannot rename " + file.path + " as closed: " + error_ +
              "; the file is complete, and is renamed once the folder allows it");
    }
    closed_.push_back(file);
    closed_bytes_ += file.bytes;
    if (closed_listener_) closed_listener_(file);
    while (settings_.max_files && closed_.size() > settings_.max_files) delete_oldest();
}

bool CaptureRing::rename_closed(std::string& path) {
    const std::string closed = path.substr(0, path.size() - std::string(RingNames::WRITING_SUFFIX).size());
    std::error_code ec;
    fs::rename(path, closed, ec);
    if (ec) {
        error_ = ec.message();
        return false;
    }
    path = closed;
    return true;
}

void CaptureRing::rename_complete_files() {
    for (auto it = unrenamed_.begin(); it != unrenamed_.end();) {
        std::string path = *it;
        auto file = std::find_if(closed_.begin(), closed_.end(), [&](const RingFile& f) { return f.path == path; });
        if (file == closed_.end()) {
            it = unrenamed_.erase(it);  // deleted meanwhile
        } else if (rename_closed(file->path)) {
            tell_("busdump: renamed " + path + " as closed");
            it = unrenamed_.erase(it);
        } else {
            ++it;
        }
    }
}

void CaptureRing::rotate(int64_t now_us, int64_t start_us) {
    close_current(now_us);
    if (!open_next(now_us, start_us)) fail(now_us, current_.path, error_);
}

bool CaptureRing::write(int64_t now_us, const PcapWriter::Endpoint& source, const PcapWriter::Endpoint& destination,
                        const uint8_t* payload, std::size_t size, const CaptureOutput::Note& note) {
    if (stopped_) return false;
    tick(now_us);
    if (!has_current_) return not_written();
    const std::size_t more = output_.packet_size(size);
    if (file_limit_ && written_to_current_ && output_.bytes() + more > file_limit_) {
        rotate(now_us, now_us);
        if (!has_current_) return not_written();
    }
    make_room(more);
    const std::string path = current_.path;
    if (output_.write(now_us, source, destination, payload, size, note) != CaptureOutput::Written::yes) {
        // The file holds whole records up to here: closed as it is (dropped when it holds none),
        // and a new one tried later.
        const std::string reason = output_.error();
        if (written_to_current_)
            close_current(now_us);
        else
            discard_current();
        fail(now_us, path, reason);
        return not_written();
    }
    written_to_current_ = true;
    current_.end_us = now_us;
    if (failing_) {
        // Told only once a record is in: a file that opens on a full disk may still take nothing.
        tell_("busdump: writing again, to " + current_.path + " (" + std::to_string(not_written_) +
              " datagrams were not written)");
        failing_ = false;
        not_written_ = 0;
    }
    return true;
}

bool CaptureRing::not_written() {
    ++not_written_;
    return false;
}

void CaptureRing::discard_current() {
    has_current_ = false;
    output_.close();
    std::error_code ignored;
    fs::remove(current_.path, ignored);
}

void CaptureRing::tick(int64_t now_us) {
    if (stopped_) return;
    if (!unrenamed_.empty()) rename_complete_files();
    if (has_current_ && period_over(now_us)) rotate(now_us, period_start(now_us));
    if (!failing_ || has_current_ || now_us < retry_at_us_) return;
    if (!open_next(now_us, settings_.file_us ? period_start(now_us) : now_us)) retry_at_us_ = now_us + RETRY_US;
}

void CaptureRing::close(int64_t now_us) {
    close_current(now_us);
    rename_complete_files();
    stopped_ = true;
}

bool CaptureRing::period_over(int64_t now_us) const { return period_end_us_ && now_us >= period_end_us_; }

int64_t CaptureRing::period_start(int64_t now_us) const {
    return floor_div(now_us, settings_.file_us) * settings_.file_us;
}

uint64_t CaptureRing::current_bytes() const { return has_current_ ? output_.bytes() : 0; }

void CaptureRing::make_room(uint64_t more_bytes) {
    if (!settings_.budget_bytes) return;
    while (!closed_.empty() && closed_bytes_ + current_bytes() + more_bytes > settings_.budget_bytes) delete_oldest();
}

void CaptureRing::delete_oldest() {
    const RingFile oldest = closed_.front();
    closed_.pop_front();
    closed_bytes_ -= std::min(closed_bytes_, oldest.bytes);
    std::error_code ec;
    fs::remove(oldest.path, ec);
    // Left out of the ring either way: a file that cannot be deleted must not stop the writing.
    if (ec) tell_("busdump: cannot delete " + oldest.path + ": " + ec.message() + "; it is no longer counted in the ring");
}

void CaptureRing::fail(int64_t now_us, const std::string& path, const std::string& reason) {
    retry_at_us_ = now_us + RETRY_US;
    if (failing_) return;
    failing_ = true;
    tell_("busdump: cannot write " + path + ": " + reason +
          "; datagrams are counted as not written, and a new file is tried every second");
}

std::vector<RingFile> CaptureRing::files() const {
    std::vector<RingFile> out(closed_.begin(), closed_.end());
    if (has_current_) {
        out.push_back(current_);
        out.back().open = true;
    }
    return out;
}

}  // namespace busdump
