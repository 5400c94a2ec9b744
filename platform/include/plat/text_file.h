// Whole-file reads and atomic replacement of small text files (settings files, registry hives).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "plat/unique_fd.h"

namespace plat {

// Opens `path` for reading without blocking (O_NONBLOCK, close-on-exec). Returns 0 with `*fd`
// open on a regular file; 0 with `*fd` empty when there is no such file (ENOENT); EISDIR (a
// directory) or EINVAL (a FIFO, a device, a socket) when the entry is no regular file, so such an
// entry never holds a reader in open() or read(); otherwise the errno of the failed call.
int OpenRegularFile(const std::string& path, UniqueFd* fd);

// Reads what is left of `fd` into `*text`, at most `maxBytes`. `*cutOff` tells whether more bytes
// followed. EINTR is retried. Returns 0 or the errno of the failed read (`*text` then holds what
// was read before it).
int ReadBounded(int fd, size_t maxBytes, std::string* text, bool* cutOff);

// Replaces `path` by a file holding `text`: the text goes to `tempPath` (created or truncated,
// in the same directory), is flushed to the disk, and the temporary file is renamed over `path`,
// so a reader sees either the old file or the new one, never a part. The new file keeps the mode
// bits of the file it replaces; a new one gets `newMode` (less the umask). A symbolic link at
// `path` is replaced itself, not its target. On failure the temporary file is removed and `path`
// is unchanged. Returns 0 or the errno of the first failed call. Callers that may run at the same
// time on one file pass distinct temporary paths (or hold a lock of their own); an empty
// `tempPath` picks one of its own beside `path`, unique in the machine.
int ReplaceFile(const std::string& path, const std::string& tempPath, std::string_view text,
                mode_t newMode);

}  // namespace plat
