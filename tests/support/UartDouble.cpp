#include "testsupport/UartDouble.h"

#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace dral_test {
namespace {

constexpr tcflag_t kFramingBits = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;

struct Line {
  const UartDouble* owner;
  dev_t device;
  tcflag_t framing;
  serial_icounter_struct counts;
};

// The doubles alive in the process, found by the device number of their slave.
struct Lines {
  std::mutex mutex;  // guards list
  std::vector<Line> list;
};

Lines& AllLines() {
  static Lines* lines = new Lines;  // used by ioctl calls until the process ends
  return *lines;
}

Line* FindLocked(Lines& lines, int fd) {
  struct stat st {};
  if (lines.list.empty() || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return nullptr;
  for (Line& line : lines.list)
    if (line.device == st.st_rdev) return &line;
  return nullptr;
}

Line* FindOwnedLocked(Lines& lines, const UartDouble* owner) {
  for (Line& line : lines.list)
    if (line.owner == owner) return &line;
  return nullptr;
}

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction SystemIoctl() {
  static const auto function = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return function;
}

}  // namespace

UartDouble::UartDouble() {
  struct stat st {};
  if (stat(SlavePath().c_str(), &st) != 0) {
    ADD_FAILURE() << "no slave device for the UART double";
    return;
  }
  SystemIoctl();  // looked up before any thread needs it
  Lines& lines = AllLines();
  std::lock_guard<std::mutex> lock(lines.mutex);
  lines.list.push_back({this, st.st_rdev, CS8, {}});
}

UartDouble::~UartDouble() {
  Lines& lines = AllLines();
  std::lock_guard<std::mutex> lock(lines.mutex);
  std::erase_if(lines.list, [this](const Line& line) { return line.owner == this; });
}

tcflag_t UartDouble::Framing() const {
  Lines& lines = AllLines();
  std::lock_guard<std::mutex> lock(lines.mutex);
  const Line* line = FindOwnedLocked(lines, this);
  return line != nullptr ? line->framing : 0;
}

void UartDouble::CountParityError() {
  Lines& lines = AllLines();
  std::lock_guard<std::mutex> lock(lines.mutex);
  if (Line* line = FindOwnedLocked(lines, this)) ++line->counts.parity;
}

void UartDouble::CountFrameError() {
  Lines& lines = AllLines();
  std::lock_guard<std::mutex> lock(lines.mutex);
  if (Line* line = FindOwnedLocked(lines, this)) ++line->counts.frame;
}

}  // namespace dral_test

// Stands in for the system's ioctl in the test program (see the header).
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* const arg = va_arg(args, void*);
  va_end(args);
  const dral_test::IoctlFunction system = dral_test::SystemIoctl();
  if (system == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (request != TCSETS2 && request != TCGETS2 && request != TIOCGICOUNT)
    return system(fd, request, arg);
  dral_test::Lines& lines = dral_test::AllLines();
  {
    std::lock_guard<std::mutex> lock(lines.mutex);
    dral_test::Line* line = dral_test::FindLocked(lines, fd);
    if (line != nullptr && request == TIOCGICOUNT) {
      *static_cast<serial_icounter_struct*>(arg) = line->counts;
      return 0;
    }
    if (line == nullptr) {
      // Not a double's slave: the system's answer.
    } else if (request == TCSETS2) {
      const int r = system(fd, request, arg);
      if (r == 0) line->framing = static_cast<const termios2*>(arg)->c_cflag & dral_test::kFramingBits;
      return r;
    } else {
      const int r = system(fd, request, arg);
      auto* tio = static_cast<termios2*>(arg);
      if (r == 0) tio->c_cflag = (tio->c_cflag & ~dral_test::kFramingBits) | line->framing;
      return r;
    }
  }
  return system(fd, request, arg);
}
