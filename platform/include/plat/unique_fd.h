// The owner of one file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace plat {

// Owns one descriptor (or none, -1) and closes it when destroyed or reset. Move-only: exactly
// one owner closes a descriptor, once. Not shared between threads (a descriptor that several
// threads use is owned by the object that joins them). close() is never retried on EINTR: on
// Linux the descriptor is released even then, and a retry could close a reused number.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the descriptor now, if any.
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes now and returns what close() returned (errno set on -1; a failed close may report a
  // failed write), or 0 when there was nothing to close.
  int Close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// A pipe: both ends close-on-exec, plus `flags` (O_NONBLOCK) on both. False with *error =
// errno when the pipe could not be made.
bool MakePipe(UniqueFd* readEnd, UniqueFd* writeEnd, int flags, int* error);

}  // namespace plat
