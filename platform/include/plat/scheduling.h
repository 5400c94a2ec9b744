// Scheduling of a program: a finer timer, the priority class of the process and the priority of
// each thread relative to that class. All of it is best effort: what the system refuses (a raise
// without privileges) is left as it was, and the program runs on regardless.
//
// Linux keeps a nice value per thread, not per process. A priority class is therefore kept here
// for the whole process: raising it re-applies every thread that runs now (all tasks of the
// process), and each thread that starts later applies its own priority relative to the class
// (TThread does so when it starts; the platform's own helper threads call
// AdoptProcessPriority). A thread started by a thread of another priority begins with its
// creator's value until it applies its own.
//
// The levels, as nice values (lower runs first):
//
//   thread priority   Normal class   High class
//   Idle                   19             19
//   Lowest                 10             -7
//   Lower                   5             -8
//   Normal                  0            -10
//   Higher                 -2            -12
//   Highest                -4            -15
//   TimeCritical           -6            SCHED_RR 1 (nice -20 where real-time is refused)
//
// So every thread of a High-class process (except Idle ones) runs before every thread of a
// Normal-class program, the highest ones included. Without the right to lower a nice value
// (no CAP_SYS_NICE, RLIMIT_NICE too small) a raise goes as far as RLIMIT_NICE allows and stops
// there; where it allows nothing, the threads stay at nice 0 and the process class stays
// Normal. Where the kernel groups threads by session (autogroup scheduling), nice values rank
// threads only within their session; a process that leads its own session therefore also gives
// its session's group the High class's base value, so that it ranks the same against the
// programs of other sessions. The first refusal in a process writes one debug line
// (OutputDebugString); later ones are silent.
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

enum class ThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

// The kernel's id of a thread (unique among the running threads of the system).
using ThreadId = int32_t;
ThreadId CurrentThreadId();

// Puts the process into the High class: every thread that runs now and every thread started
// later runs at its priority in that class. True when the class is High afterwards (also when
// RLIMIT_NICE allowed only a part of the raise); false when the system refused any raise, and
// nothing changes then. Any thread may call it; calling it again does no harm.
bool RaiseProcessPriority();
bool ProcessPriorityRaised();

// Gives thread `thread` of this process `priority` relative to the process's class, now and
// whenever the class changes. `thread` must be running; the caller makes sure it does not end
// meanwhile (its owner, or the thread itself) and calls ForgetThreadPriority before it ends,
// since the id can be given to a later thread.
void SetThreadPriority(ThreadId thread, ThreadPriority priority);
void ForgetThreadPriority(ThreadId thread);

// Gives the calling thread the Normal priority of the process's class. For threads that are
// not TThreads (the platform's helper threads), at their start.
void AdoptProcessPriority();

}  // namespace plat
