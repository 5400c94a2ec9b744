#include "testsupport/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

namespace dral_test {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: errno " << errno;
    return;
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname_r failed: errno " << errno;
    return;
  }
  slavePath_ = name;
}

PtyPair::~PtyPair() { HangUp(); }

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Write(const std::string& bytes) {
  size_t done = 0;
  const auto start = std::chrono::steady_clock::now();
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "write to the master failed: errno " << errno;
      return;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
      ADD_FAILURE() << "the slave took no more input";
      return;
    }
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 100);
  }
}

std::string PtyPair::Read(size_t max, int timeoutMs) {
  std::string out;
  int wait = timeoutMs;
  while (out.size() < max) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN)) break;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    wait = 50;  // the rest of a burst
  }
  return out;
}

std::string PtyPair::ReadExactly(size_t count, int timeoutMs) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

termios2 PtyPair::SlaveSettings() const {
  termios2 t{};
  if (ioctl(master_, TCGETS2, &t) != 0) ADD_FAILURE() << "TCGETS2 failed: errno " << errno;
  return t;
}

}  // namespace dral_test
