// The mark at the start of every buffer file this gateway makes. The file's content means
// nothing outside the running process, so the first bytes are free to tell it from a user's
// file: only a file that carries the mark, or an empty one, is ever replaced or removed.
#pragma once

#include <cstddef>
#include <string>

class BufferFileMark {
public:
    // Bytes at the start of the file that hold the mark; the queue's segment follows them.
    static constexpr std::size_t AREA_SIZE = 64;

    // Writes the mark into the first AREA_SIZE bytes of a mapped buffer file.
    static void write(void* start);

    // Whether `bytes` (at least AREA_SIZE of them) begin with the mark.
    static bool is_marked(const void* bytes, std::size_t size);

    // Returns when nothing lies at `path`, or an empty regular file, or a regular file that
    // begins with the mark and that no running gateway holds: what lies there may be replaced.
    // Throws std::runtime_error with one line naming the path otherwise (a user's file, a link,
    // a directory, the file of a running gateway); nothing is touched.
    static void check_replaceable(const std::string& path);
};
