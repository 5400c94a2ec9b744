#include "plat/scheduling.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>

namespace plat {
namespace {

constexpr int kHighPriorityNice = -10;
constexpr long kNsPerMs = 1000000;

}  // namespace

TimerPeriod::TimerPeriod(uint32_t ms) {
  const int current = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  const long wanted = static_cast<long>(ms) * kNsPerMs;
  if (current < 0 || current <= wanted) return;
  if (prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(wanted), 0, 0, 0) == 0) {
    previousSlackNs_ = current;
  }
}

TimerPeriod::~TimerPeriod() {
  if (previousSlackNs_ >= 0) {
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previousSlackNs_), 0, 0, 0);
  }
}

bool RaiseProcessPriority() {
  // With who = 0 Linux changes the calling thread; threads started later inherit its value.
  // Only a raise is asked for: a process started at a higher priority keeps it.
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, 0);
  if (errno == 0 && current <= kHighPriorityNice) return true;
  return setpriority(PRIO_PROCESS, 0, kHighPriorityNice) == 0;
}

}  // namespace plat
