// Safe creation of the gateway's buffer file, which by default lies under a world-writable
// directory while the gateway may run as root. Errors are thrown as std::runtime_error with one
// line of text that names the path and the reason.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Creates every missing level of dir with mode 0700, then refuses a dir (or a level above it)
// that is a symbolic link or a directory owned by another user; root-owned levels are trusted.
void prepare_buffer_directory(const std::string& dir);

// Removes a file left at path by an earlier run; a missing file is not an error.
void remove_buffer_file(const std::string& path) noexcept;

// Creates path with create-only semantics (never opens a file that appeared meanwhile, never
// follows a link), mode 0600, and reserves all size bytes on disk, so that a later write to the
// mapping cannot meet a full disk. A disk too full is refused with its own message.
void create_buffer_file(const std::string& path, uint64_t size);

}  // namespace platform
