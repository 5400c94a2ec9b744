// Millisecond tick count and sleeping.
#pragma once

#include <cstdint>

namespace plat {

// Milliseconds since an arbitrary start on the monotonic clock, truncated to 32 bits: it wraps
// after about 49.7 days. Compare tick values only by unsigned difference (see TickElapsed).
// Any thread may call it.
uint32_t GetTickCount();

// True when at least `interval` ms have passed since `start`, computed as the unsigned 32-bit
// difference now - start, so that it stays right across the wrap.
bool TickElapsed(uint32_t start, uint32_t interval);

// The local date and time of the wall clock, to the millisecond (for time stamps only; never
// for measuring intervals). Any thread.
struct LocalTime {
  int Year;         // e.g. 2026
  int Month;        // 1..12
  int Day;          // 1..31
  int Hour;         // 0..23
  int Minute;       // 0..59
  int Second;       // 0..60
  int Millisecond;  // 0..999
};
LocalTime GetLocalTime();

// Sleeps at least `ms` milliseconds; resumes after EINTR until the full time has passed.
// Sleep(0) yields the processor.
void Sleep(uint32_t ms);

// Microseconds since an arbitrary start on the monotonic clock (64 bits: no wrap). For pacing
// below a millisecond. Any thread may call it.
uint64_t MicrosecondCount();
// Sleeps at least `us` microseconds, resumed after EINTR like Sleep; 0 returns at once.
void SleepMicroseconds(uint32_t us);

}  // namespace plat
