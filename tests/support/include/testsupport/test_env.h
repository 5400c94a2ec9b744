// Test isolation: own object namespace, registry and device directory per test, a watchdog that
// turns a hang into a failure, and child processes that re-run the test binary in a role.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace dral_test {

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Sets DRAL_IPC_NAMESPACE, DRAL_REGISTRY_DIR, DRAL_DEVICE_DIR and DRAL_SYSFS_DIR to values of
// this test's own (fresh temporary directories; the sysfs one starts empty, so no test reads the
// machine's devices) and restores the environment afterwards. In a child process
// started by SpawnSelf the parent's values are kept, so both sides meet.
class IsolatedEnv {
 public:
  IsolatedEnv();
  ~IsolatedEnv();
  IsolatedEnv(const IsolatedEnv&) = delete;
  IsolatedEnv& operator=(const IsolatedEnv&) = delete;
  const std::string& Namespace() const { return ns_; }
  const std::string& RegistryDir() const { return registryDir_; }
  const std::string& DeviceDir() const { return deviceDir_; }
  const std::string& SysfsDir() const { return sysfsDir_; }
  const std::string& TempDir() const { return root_; }

 private:
  bool owner_ = false;
  std::string root_, ns_, registryDir_, deviceDir_, sysfsDir_;
};

// Aborts the whole process with a message when it is still armed after `seconds`. Its thread
// waits when the constructor returns, so that a test may fork right after.
class Watchdog {
 public:
  explicit Watchdog(int seconds);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;  // guards running_ and done_
  std::condition_variable cv_;
  bool running_ = false;  // the thread has started and is about to wait
  bool done_ = false;
  std::thread thread_;
};

// Fixture base: isolated environment plus a 30 s watchdog.
class IsolatedTest : public ::testing::Test {
 protected:
  IsolatedEnv env_;
  Watchdog watchdog_{30};
};

// The role given to this process by SpawnSelf, or "" in the parent.
std::string Role();

// Starts this test binary again running only `gtestFilter`, with DRAL_TEST_ROLE=`role` and the
// current environment (namespace and directories included). Returns the child's pid.
pid_t SpawnSelf(const std::string& gtestFilter, const std::string& role);

// As SpawnSelf, but by fork() and exec in the calling process: the child is a copy of this
// process until its exec (fork handlers run). Returns the child's pid, or -1.
pid_t ForkExecSelf(const std::string& gtestFilter, const std::string& role);

// The gtest filter naming the test that runs now ("Suite.Name").
std::string CurrentTestFilter();

// Waits up to `timeoutMs` for the child. Returns its exit status (0..255), 128 + signal when it
// was killed by a signal, or -1 when it did not end in time (it is then killed with SIGKILL
// and reaped).
int WaitChild(pid_t pid, int timeoutMs);

// The nice value of thread `thread` of this process, and whether it runs under a real-time
// policy (SCHED_RR or SCHED_FIFO).
int NiceOf(pid_t thread);
bool IsRealTime(pid_t thread);

// Bytes of heap memory this process has in use now (malloc's count, or the sanitizer
// allocator's in sanitizer builds). For comparisons of before and after on one thread.
size_t HeapBytesInUse();

}  // namespace dral_test
