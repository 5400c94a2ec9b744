// Scheduling hints of a program: a finer timer and a higher priority. Both are best effort:
// what the system refuses (a priority raise without privileges) is left as it was, and the
// program runs on regardless.
#pragma once

#include <cstdint>

namespace plat {

// Asks that sleeps and timed waits end within about `ms` of their time. Linux timers are fine
// already; what can coarsen them is a large timer slack (a setting a service manager may give
// a process). This caps the slack of the calling thread at `ms`, and every thread it starts
// afterwards inherits it; the destructor puts the old slack back. Create and destroy on the
// same thread.
class TimerPeriod {
 public:
  explicit TimerPeriod(uint32_t ms);
  ~TimerPeriod();
  TimerPeriod(const TimerPeriod&) = delete;
  TimerPeriod& operator=(const TimerPeriod&) = delete;

 private:
  long previousSlackNs_ = -1;  // -1: left unchanged
};

// Raises the priority of the calling thread, and so of the threads it starts afterwards, to
// what a "high" priority class is among normal programs (nice -10). False when the system
// refused (no privileges); nothing changes then.
bool RaiseProcessPriority();

}  // namespace plat
