// busdump --keep-dir: keeps the ring files around a moment worth keeping (an alert raised by
// --baseline, SIGUSR1, or busdump --keep-now) by hard-linking them into the keep folder (copying
// where a link cannot be made), which the ring never deletes from. Each window runs from
// `before` ahead of the moment to `after` past it; a moment whose window overlaps the last one
// extends it instead of opening another. Beside the files, keep_<UTC start>.json says why, when
// and for which sender, and which files hold the window; it is rewritten as files join and says
// "complete" once a file closed past the window's end.
//
// busdump --keep-now asks a running recorder through the keep folder: it leaves the file
// REQUEST_FILE there (written under another name and renamed), which the recorder takes and
// deletes within a tick.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/busdump/capturering.h"

namespace busdump {

struct KeepSettings {
    std::string folder;
    int64_t before_us = 60000000;
    int64_t after_us = 60000000;
};

class CaptureKeeper {
public:
    static constexpr const char* REQUEST_FILE = "keep-now.request";
    // What of a request's note is kept.
    static constexpr std::size_t MAX_NOTE = 200;

    using Tell = std::function<void(const std::string& line)>;

    CaptureKeeper(const KeepSettings& settings, Tell tell);

    // Creates the folder when missing; false with the reason in error(), also when it is the
    // ring's own folder (whose files the ring deletes).
    bool start(const std::string& ring_folder);

    // A moment to keep, now: `why` (alert, signal, request), the sender concerned ("all" for
    // every sender), what happened; `files` the ring's files at this moment.
    void request(int64_t now_us, const std::string& why, const std::string& sender, const std::string& what,
                 const std::vector<RingFile>& files);
    // A file of the ring that just closed.
    void file_closed(const RingFile& file);
    // Whether busdump --keep-now asked since the last call; `note` then says what it was given.
    bool take_request(std::string& note);
    // At the end of the run: windows still open are written as they are (not complete).
    void finish();

    // The --keep-now side: leaves a request in `folder`; false with the reason in `error`.
    static bool ask(const std::string& folder, const std::string& note, std::string& error);

    const std::string& error() const { return error_; }

private:
    struct Window {
        int64_t from_us = 0;
        int64_t to_us = 0;
        std::string json_path;
        std::vector<std::string> triggers;  // JSON objects
        std::vector<std::string> files;     // names in the keep folder
        bool complete = false;
    };

    static bool overlaps(const RingFile& file, const Window& window);
    void keep(const RingFile& file, Window& window);
    // A copy made under a temporary name and renamed when whole; ec tells a failure.
    static void copy_whole(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& ec);
    void write_json(const Window& window);

    const KeepSettings settings_;
    const Tell tell_;
    std::vector<Window> windows_;  // in time order, from the oldest incomplete one; only the last grows
    bool stuck_request_ = false;
    std::string error_;
};

}  // namespace busdump
