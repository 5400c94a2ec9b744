#include "plat/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace plat {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr mode_t kModeBits = 07777;
constexpr const char* kOwnTempInfix = ".tmp-";
// Names of our own tried before a replacement gives up (EEXIST).
constexpr int kOwnTempAttempts = 100;

int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

int OpenRegularFile(const std::string& path, UniqueFd* fd) {
  *fd = UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!*fd) return errno == ENOENT ? 0 : errno;
  struct stat st {};
  if (fstat(fd->Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) {
    fd->Reset();
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  return 0;
}

int ReadBounded(int fd, size_t maxBytes, std::string* text, bool* cutOff) {
  text->clear();
  *cutOff = false;
  for (;;) {
    const size_t old = text->size();
    if (old >= maxBytes) {
      char probe;
      ssize_t n;
      do {
        n = read(fd, &probe, 1);
      } while (n < 0 && errno == EINTR);
      *cutOff = n > 0;
      return 0;
    }
    text->resize(old + std::min(kReadChunk, maxBytes - old));
    const ssize_t n = read(fd, text->data() + old, text->size() - old);
    if (n < 0) {
      text->resize(old);
      if (errno == EINTR) continue;
      return errno;
    }
    text->resize(old + static_cast<size_t>(n));
    if (n == 0) return 0;
  }
}

int ReplaceFile(const std::string& path, const std::string& givenTempPath, std::string_view text,
                mode_t newMode) {
  static std::atomic<uint32_t> tempCount{0};
  struct stat old {};
  const bool keepMode = stat(path.c_str(), &old) == 0;
  std::string tempPath = givenTempPath;
  UniqueFd fd;
  if (!givenTempPath.empty()) {
    fd = UniqueFd(open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, newMode));
  } else {
    // Our own name is guessable: it is only ever created new, so a file or link someone put
    // there in advance is skipped, never written through.
    for (int attempt = 0; attempt < kOwnTempAttempts; ++attempt) {
      tempPath = path + kOwnTempInfix + std::to_string(getpid()) + "-" +
                 std::to_string(tempCount.fetch_add(1, std::memory_order_relaxed));
      fd = UniqueFd(open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newMode));
      if (fd || errno != EEXIST) break;
    }
  }
  if (!fd) return errno;
  int error = 0;
  if (keepMode && fchmod(fd.Get(), old.st_mode & kModeBits) != 0) error = errno;
  if (error == 0) error = WriteAll(fd.Get(), text);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (fd.Close() != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(tempPath.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(tempPath.c_str());
    return error;
  }
  // Make the rename itself durable; the data is already safe either way.
  const std::filesystem::path dirPath = std::filesystem::path(path).parent_path();
  UniqueFd dir(open(dirPath.empty() ? "." : dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) (void)fsync(dir.Get());
  return 0;
}

}  // namespace plat
