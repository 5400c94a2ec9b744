#include "plat/scheduling.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "plat/debug.h"

namespace plat {
namespace {

constexpr long kNsPerMs = 1000000;
constexpr int kLowestNice = -20;
constexpr int kHighestNice = 19;
// The lowest real-time priority: above every normal thread, below the kernel's own real-time
// threads (interrupt threads run at 50).
constexpr int kTimeCriticalRtPriority = 1;
constexpr const char* kAutogroupFile = "/proc/self/autogroup";
constexpr const char* kRefusedText =
    "Thread priorities cannot be raised (no CAP_SYS_NICE, RLIMIT_NICE too small): "
    "threads keep normal priority";

// Nice value of each ThreadPriority (in enum order) in the Normal and the High class.
constexpr int kNormalClassNice[] = {19, 10, 5, 0, -2, -4, -6};
constexpr int kHighClassNice[] = {19, -7, -8, -10, -12, -15, -20};

class Scheduler {
 public:
  // Static storage, never destroyed: threads may still start or end while the process exits
  // or a library holding this code is unloaded. With no thread registered it holds no heap
  // memory, so nothing is left behind by an unload.
  static Scheduler& Instance() {
    alignas(Scheduler) static unsigned char storage[sizeof(Scheduler)];
    static Scheduler* const instance = new (storage) Scheduler;
    return *instance;
  }

  bool Raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int base = kHighClassNice[Index(ThreadPriority::Normal)];
    const int reached = ApplyNiceLocked(CurrentThreadId(), base);
    if (reached >= 0) return raised_.load(std::memory_order_relaxed);
    raised_.store(true, std::memory_order_relaxed);
    ApplyAllLocked();
    RaiseOwnSessionGroup(reached);  // as far as RLIMIT_NICE allowed the threads
    return true;
  }

  bool Raised() const { return raised_.load(std::memory_order_relaxed); }

  void Set(ThreadId thread, ThreadPriority priority) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (priority == ThreadPriority::Normal) {
      relative_.erase(thread);
    } else {
      relative_[thread] = priority;
    }
    ApplyLocked(thread, priority);
  }

  void Forget(ThreadId thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    relative_.erase(thread);
  }

 private:
  static size_t Index(ThreadPriority p) { return static_cast<size_t>(p); }

  ThreadPriority RelativeLocked(ThreadId thread) const {
    const auto it = relative_.find(thread);
    return it == relative_.end() ? ThreadPriority::Normal : it->second;
  }

  // Every task of the process, the ones started a moment ago included: a thread that reads the
  // class before a raise applies it under mutex_, so it is done before this runs or sees the
  // raised class afterwards.
  void ApplyAllLocked() {
    std::vector<ThreadId> tasks;
    if (DIR* dir = opendir("/proc/self/task")) {
      while (const dirent* entry = readdir(dir)) {
        const ThreadId id = static_cast<ThreadId>(std::atoi(entry->d_name));
        if (id > 0) tasks.push_back(id);
      }
      closedir(dir);
    }
    for (const ThreadId id : tasks) ApplyLocked(id, RelativeLocked(id));
  }

  void ApplyLocked(ThreadId thread, ThreadPriority priority) {
    const bool high = raised_.load(std::memory_order_relaxed);
    if (high && priority == ThreadPriority::TimeCritical) {
      sched_param param{};
      param.sched_priority = kTimeCriticalRtPriority;
      // Threads it starts begin as normal threads; they apply their own priority.
      if (sched_setscheduler(thread, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) return;
    } else {
      LeaveRealTime(thread);
    }
    const int nice = high ? kHighClassNice[Index(priority)] : kNormalClassNice[Index(priority)];
    ApplyNiceLocked(thread, nice);
  }

  // The kernel may group the threads of each session and share the processors out between the
  // groups first (autogroup scheduling): a nice value then ranks a thread only among the threads
  // of its own session, and a program that leads a session of its own (the server, as the
  // library starts it) would rank no higher than an ordinary program of another session. So a
  // session leader gives its group the value its threads reached as well. The group of a
  // session the process merely belongs to (a terminal's) is left alone: that would raise every
  // program in it.
  static void RaiseOwnSessionGroup(int nice) {
    if (getsid(0) != getpid()) return;
    const int fd = open(kAutogroupFile, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;  // no autogroup scheduling here: nice values rank system-wide
    const std::string text = std::to_string(nice);
    [[maybe_unused]] const ssize_t n = write(fd, text.data(), text.size());
    close(fd);
  }

  static void LeaveRealTime(ThreadId thread) {
    const int policy = sched_getscheduler(thread);
    if (policy < 0 || (policy & ~SCHED_RESET_ON_FORK) == SCHED_OTHER) return;
    sched_param param{};
    sched_setscheduler(thread, SCHED_OTHER, &param);
  }

  // Sets the nice value of `thread` to `nice`, or as close to it as RLIMIT_NICE allows.
  // Returns the value the thread has afterwards.
  int ApplyNiceLocked(ThreadId thread, int nice) {
    const id_t who = static_cast<id_t>(thread);
    if (setpriority(PRIO_PROCESS, who, nice) == 0) return nice;
    const int err = errno;
    errno = 0;
    int current = getpriority(PRIO_PROCESS, who);
    if (errno != 0) return nice;  // the thread has ended
    if (err != EACCES && err != EPERM) return current;
    // An unprivileged thread may go down to 20 - RLIMIT_NICE, and never below it.
    rlimit limit{};
    int floor = kHighestNice + 1;
    if (getrlimit(RLIMIT_NICE, &limit) == 0) {
      floor = limit.rlim_cur == RLIM_INFINITY
                  ? kLowestNice
                  : kHighestNice + 1 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
    }
    const int reachable = std::max(nice, floor);
    if (reachable < current && setpriority(PRIO_PROCESS, who, reachable) == 0) current = reachable;
    if (!refusalReported_) {
      refusalReported_ = true;
      OutputDebugString(kRefusedText);
    }
    return current;
  }

  std::mutex mutex_;  // guards relative_, refusalReported_ and every change of a priority
  std::map<ThreadId, ThreadPriority> relative_;  // threads whose priority is not Normal
  bool refusalReported_ = false;
  std::atomic<bool> raised_{false};  // written under mutex_
};

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

ThreadId CurrentThreadId() { return static_cast<ThreadId>(gettid()); }

bool RaiseProcessPriority() { return Scheduler::Instance().Raise(); }

bool ProcessPriorityRaised() { return Scheduler::Instance().Raised(); }

void SetThreadPriority(ThreadId thread, ThreadPriority priority) {
  Scheduler::Instance().Set(thread, priority);
}

void ForgetThreadPriority(ThreadId thread) { Scheduler::Instance().Forget(thread); }

void AdoptProcessPriority() { SetThreadPriority(CurrentThreadId(), ThreadPriority::Normal); }

}  // namespace plat
