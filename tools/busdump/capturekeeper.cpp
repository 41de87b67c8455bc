#include "tools/busdump/capturekeeper.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/busdump/jsonobject.h"
#include "tools/busdump/timetext.h"

namespace busdump {

namespace fs = std::filesystem;

namespace {

constexpr const char* WRITING_SUFFIX = ".tmp";

// A note from another process, as one line of printable text.
std::string clean_note(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= CaptureKeeper::MAX_NOTE) break;
        if (c == '\n' || c == '\r') break;
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    }
    return out;
}

// Written under another name and renamed, so that a reader never sees half of it.
bool write_whole(const fs::path& path, const std::string& text, std::string& error) {
    const fs::path writing = path.string() + WRITING_SUFFIX;
    {
        std::ofstream out(writing, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            error = "cannot write " + writing.string();
            return false;
        }
    }
    std::error_code ec;
    fs::rename(writing, path, ec);
    if (!ec) return true;
    error = "cannot rename " + writing.string() + " to " + path.string() + ": " + ec.message();
    fs::remove(writing, ec);
    return false;
}

std::string json_array(const std::vector<std::string>& items, bool quoted) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + (quoted ? JsonObject::quote(items[i]) : items[i]);
    return out + "]";
}

}  // namespace

CaptureKeeper::CaptureKeeper(const KeepSettings& settings, Tell tell) : settings_(settings), tell_(std::move(tell)) {}

bool CaptureKeeper::start(const std::string& ring_folder) {
    std::error_code ec;
    fs::create_directories(settings_.folder, ec);
    if (ec || !fs::is_directory(settings_.folder, ec)) {
        error_ = "cannot make the keep folder " + settings_.folder + (ec ? ": " + ec.message() : "");
        return false;
    }
    if (fs::equivalent(settings_.folder, ring_folder, ec)) {
        error_ = "the keep folder " + settings_.folder + " is the folder of the ring, whose files the ring deletes";
        return false;
    }
    // A request left from before this run is stale: nobody wants its minutes now.
    fs::remove(fs::path(settings_.folder) / REQUEST_FILE, ec);
    return true;
}

void CaptureKeeper::request(int64_t now_us, const std::string& why, const std::string& sender,
                            const std::string& what, const std::vector<RingFile>& files) {
    const int64_t from = now_us - settings_.before_us;
    const int64_t to = now_us + settings_.after_us;
    if (windows_.empty() || from > windows_.back().to_us) {
        Window window;
        window.from_us = from;
        window.json_path = (fs::path(settings_.folder) / ("keep_" + TimeText::utc_compact(from) + ".json")).string();
        windows_.push_back(window);
    }
    Window& window = windows_.back();
    window.to_us = std::max(window.to_us, to);
    window.complete = false;
    window.triggers.push_back(
        JsonObject().add("why", why).add("at", TimeText::utc_iso(now_us)).add("sender", sender).add("what", what).str());
    tell_("busdump: keeping " + TimeText::utc_iso(window.from_us) + " to " + TimeText::utc_iso(window.to_us) + " in " +
          settings_.folder + " (" + why + (what.empty() ? "" : ": " + what) + ")");
    for (const RingFile& file : files)
        if (!file.open && overlaps(file, window)) keep(file, window);
    write_json(window);
}

void CaptureKeeper::file_closed(const RingFile& file) {
    for (Window& window : windows_) {
        if (window.complete || !overlaps(file, window)) continue;
        keep(file, window);
        window.complete = file.end_us >= window.to_us;
        write_json(window);
    }
    // A complete window is done with, except the last, which a later moment may still extend.
    while (windows_.size() > 1 && windows_.front().complete) windows_.erase(windows_.begin());
}

bool CaptureKeeper::overlaps(const RingFile& file, const Window& window) {
    return file.start_us <= window.to_us && file.end_us >= window.from_us;
}

void CaptureKeeper::keep(const RingFile& file, Window& window) {
    const std::string name = fs::path(file.path).filename().string();
    if (std::find(window.files.begin(), window.files.end(), name) != window.files.end()) return;
    const fs::path target = fs::path(settings_.folder) / name;
    std::error_code ec;
    // Kept already for an earlier window: the same file, linked once.
    if (!fs::exists(target, ec)) {
        fs::create_hard_link(file.path, target, ec);
        if (ec) {
            // Another file system, or one without links: a copy does the same. It is made under
            // another name and renamed whole, so that a copy cut short (a full disk) is never
            // taken for the kept file.
            ec.clear();
            copy_whole(file.path, target, ec);
        }
        if (ec) {
            tell_("busdump: cannot keep " + file.path + " in " + settings_.folder + ": " + ec.message());
            return;
        }
    }
    window.files.push_back(name);
}

void CaptureKeeper::write_json(const Window& window) {
    JsonObject o;
    o.add("from", TimeText::utc_iso(window.from_us)).add("to", TimeText::utc_iso(window.to_us));
    o.add("complete", window.complete);
    o.add_raw("triggers", json_array(window.triggers, false));
    o.add_raw("files", json_array(window.files, true));
    std::string error;
    if (!write_whole(window.json_path, o.str() + "\n", error)) tell_("busdump: " + error);
}

void CaptureKeeper::copy_whole(const fs::path& from, const fs::path& to, std::error_code& ec) {
    fs::path partial = to;
    partial += ".copying";
    std::error_code ignored;
    if (fs::copy_file(from, partial, fs::copy_options::overwrite_existing, ec)) fs::rename(partial, to, ec);
    if (ec) fs::remove(partial, ignored);
}

bool CaptureKeeper::take_request(std::string& note) {
    const fs::path path = fs::path(settings_.folder) / REQUEST_FILE;
    std::error_code ec;
    // Only a plain file is read: opening a FIFO left under that name would wait for a writer,
    // and the receiving loop with it.
    if (!fs::is_regular_file(path, ec)) {
        stuck_request_ = false;
        return false;
    }
    if (stuck_request_) return false;
    std::ifstream in(path, std::ios::binary);
    std::string text(MAX_NOTE * 4, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    in.close();
    if (!fs::remove(path, ec)) {
        // Taken once; a request that stays (a folder this process may not change) is not taken again.
        stuck_request_ = true;
        tell_("busdump: cannot delete the request " + path.string() + (ec ? ": " + ec.message() : ""));
    }
    note = clean_note(text);
    return true;
}

void CaptureKeeper::finish() {
    for (const Window& window : windows_)
        if (!window.complete) write_json(window);
}

bool CaptureKeeper::ask(const std::string& folder, const std::string& note, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = "no keep folder " + folder + " (the recorder makes it when it starts)";
        return false;
    }
    return write_whole(fs::path(folder) / REQUEST_FILE, clean_note(note) + "\n", error);
}

}  // namespace busdump
