#include "deadline.h"

namespace plat {

namespace {
constexpr uint64_t kNsPerSecond = 1000000000u;
constexpr uint64_t kNsPerMs = 1000000u;
}  // namespace

timespec DeadlineAfterNanoseconds(uint64_t ns) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(ns / kNsPerSecond);
  t.tv_nsec += static_cast<long>(ns % kNsPerSecond);
  if (t.tv_nsec >= static_cast<long>(kNsPerSecond)) {
    t.tv_sec += 1;
    t.tv_nsec -= static_cast<long>(kNsPerSecond);
  }
  return t;
}

timespec DeadlineAfter(uint32_t timeoutMs) {
  return DeadlineAfterNanoseconds(static_cast<uint64_t>(timeoutMs) * kNsPerMs);
}

bool DeadlinePassed(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace plat
