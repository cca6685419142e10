// Copying a file: into a temporary file beside the destination, renamed into
// place only once every byte is written and flushed, so that the
// destination is either the old file or a whole copy. Shared by both helper
// libraries.
#pragma once

namespace kv::helper {

// Copies the contents of `source` to `destination` (a new file gets mode
// 0666 less the umask, as fopen gives it; an existing destination is
// replaced, keeping its mode and, where allowed, its owner; a destination
// that is a symbolic link is followed). 0; -EINVAL for
// a null path or when both name the same file (same device and inode,
// links included); -errno of the first open, read, write, flush, close or
// rename that failed (the temporary file is then removed).
int copy_file(const char* source, const char* destination) noexcept;

}  // namespace kv::helper
