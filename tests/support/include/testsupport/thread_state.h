// Whether a thread of this process is blocked: lets a test go on once another thread has
// reached the blocking call it is about to make, instead of giving it a fixed time.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace dral_test {

// The id of the calling thread, as /proc names it.
inline pid_t ThisThreadId() { return gettid(); }

// The number of threads this process has now.
inline size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// True while thread `tid` (of this process, or the main thread of another: its pid) sleeps in
// a blocking call (state S in its stat line). A thread that has ended, or whose state cannot be
// read, does not sleep.
inline bool ThreadSleeps(pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(tid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // "tid (name) S ...": the name may hold spaces and parentheses, the state follows the last ')'.
  const size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  const char state = line[close + 2];
  return state == 'S';
}

// Waits up to `timeoutMs` until thread `tid` sleeps in the kernel. Call it once the thread
// has announced (through an atomic it sets) that the only blocking call left before it is the
// one the test means: then a sleeping thread is inside that call.
inline bool WaitUntilThreadSleeps(pid_t tid, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ThreadSleeps(tid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace dral_test
