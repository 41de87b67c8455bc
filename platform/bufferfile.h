// Safe creation of the gateway's buffer file, which by default lies under a world-writable
// directory while the gateway may run as root. Errors are thrown as std::runtime_error with one
// line of text that names the path and the reason.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bufferfilelock.h"

namespace platform {

// Creates every missing level of dir (mode 0700 on Linux), refusing a level that is a link (a
// symbolic link; on Windows any reparse point: symbolic link, junction, mount point), then
// refuses a dir that is no directory or, on Linux, is owned by another user (root is trusted).
void prepare_buffer_directory(const std::string& dir);

// Removes a file left at path by an earlier run; a missing file is not an error.
void remove_buffer_file(const std::string& path) noexcept;

// Creates path with create-only semantics (never opens a file that appeared meanwhile, never
// follows a link), mode 0600 on Linux, and reserves all size bytes on disk, so that a later write to the
// mapping cannot meet a full disk. A disk too full is refused with its own message.
// The file is locked from its creation on: the lock returned is held until it is released.
BufferFileLock create_buffer_file(const std::string& path, uint64_t size);

// Whether a regular file at path is locked by a running gateway (another process, or another
// queue of this one). Anything else, and a path that cannot be opened, is not in use.
bool buffer_file_in_use(const std::string& path);

}  // namespace platform
