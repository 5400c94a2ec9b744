#include "plat/tick.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

#include "deadline.h"

namespace plat {

uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Truncation to 32 bits is the wrap the callers expect.
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

LocalTime GetLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

bool TickElapsed(uint32_t start, uint32_t interval) {
  return static_cast<uint32_t>(GetTickCount() - start) >= interval;
}

namespace {

void SleepNanoseconds(uint64_t ns) {
  // An absolute deadline makes a resumed sleep lose no time to the interruption.
  const timespec deadline = DeadlineAfterNanoseconds(ns);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace

void Sleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  SleepNanoseconds(static_cast<uint64_t>(ms) * 1000000u);
}

uint64_t MicrosecondCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void SleepMicroseconds(uint32_t us) {
  if (us != 0) SleepNanoseconds(static_cast<uint64_t>(us) * 1000u);
}

}  // namespace plat
