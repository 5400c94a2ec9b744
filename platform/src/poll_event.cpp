// The pollable manual-reset event: an eventfd whose count is non-zero while the event is set.
#include "plat/poll_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace plat {

PollEvent::PollEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void PollEvent::Set() {
  if (!fd_) return;
  const uint64_t one = 1;
  // EAGAIN only when the count is at its maximum: the event is set either way.
  ssize_t n;
  do n = ::write(fd_.Get(), &one, sizeof one);
  while (n < 0 && errno == EINTR);
}

void PollEvent::Reset() {
  if (!fd_) return;
  uint64_t count;
  ssize_t n;
  do n = ::read(fd_.Get(), &count, sizeof count);
  while (n < 0 && errno == EINTR);
}

bool PollEvent::IsSet() const {
  if (!fd_) return false;
  pollfd p{fd_.Get(), POLLIN, 0};
  int r;
  do r = ::poll(&p, 1, 0);
  while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace plat
