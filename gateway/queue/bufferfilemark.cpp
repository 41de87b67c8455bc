#include "gateway/queue/bufferfilemark.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/bufferfile.h"

namespace {

// Text that a user's file will not begin with by chance; zero-padded to AREA_SIZE.
constexpr char MARK_TEXT[] = "busgated buffer file: record queue of a running gateway\n";
static_assert(sizeof MARK_TEXT <= BufferFileMark::AREA_SIZE, "the mark fits its area");

[[noreturn]] void refuse(const std::string& path, const std::string& reason,
                         const std::string& advice = "name another path with -B") {
    throw std::runtime_error("buffer file " + path + ": " + reason + ", refused and left as it is (" + advice + ")");
}

// The first of "buffer-2.bin", "buffer-3.bin"... beside `path` that names nothing yet.
std::string free_sibling(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path taken(path);
    for (int n = 2;; ++n) {
        fs::path sibling = taken;
        sibling.replace_filename(taken.stem().string() + "-" + std::to_string(n) + taken.extension().string());
        std::error_code error;  // set for a missing file too
        if (fs::symlink_status(sibling, error).type() == fs::file_type::not_found) return sibling.string();
    }
}

}  // namespace

void BufferFileMark::write(void* start) {
    std::memset(start, 0, AREA_SIZE);
    std::memcpy(start, MARK_TEXT, sizeof MARK_TEXT);
}

bool BufferFileMark::is_marked(const void* bytes, std::size_t size) {
    if (bytes == nullptr || size < AREA_SIZE) return false;
    char expected[AREA_SIZE] = {};
    std::memcpy(expected, MARK_TEXT, sizeof MARK_TEXT);
    return std::memcmp(bytes, expected, AREA_SIZE) == 0;
}

void BufferFileMark::check_replaceable(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (status.type() == fs::file_type::not_found) return;
    if (error) refuse(path, "cannot be examined (" + error.message() + ")");
    if (fs::is_symlink(status)) refuse(path, "is a symbolic link");
    if (!fs::is_regular_file(status)) refuse(path, "exists and is not a regular file");
    // Asked before the mark: a gateway that is creating its file has not marked it yet.
    if (platform::buffer_file_in_use(path))
        refuse(path, "in use by another running gateway", "give this gateway its own, e.g. -B " + free_sibling(path));
    const auto size = fs::file_size(path, error);
    if (error) refuse(path, "cannot be examined (" + error.message() + ")");
    if (size == 0) return;
    char head[AREA_SIZE] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(head, AREA_SIZE) || !is_marked(head, AREA_SIZE))
        refuse(path, "exists and is not a buffer file of busgated");
}
