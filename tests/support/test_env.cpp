#include "testsupport/test_env.h"

#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DRAL_TEST_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DRAL_TEST_SANITIZER_ALLOCATOR 1
#endif
#endif
#ifdef DRAL_TEST_SANITIZER_ALLOCATOR
// Exported by the AddressSanitizer and ThreadSanitizer run-times (declared here: not every
// compiler ships their header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

extern char** environ;

namespace dral_test {
namespace {

constexpr const char* kRoleVar = "DRAL_TEST_ROLE";
constexpr const char* kVars[] = {"DRAL_IPC_NAMESPACE", "DRAL_REGISTRY_DIR", "DRAL_DEVICE_DIR",
                                 "DRAL_SYSFS_DIR"};

}  // namespace

std::string Role() {
  const char* r = std::getenv(kRoleVar);
  return r ? r : "";
}

IsolatedEnv::IsolatedEnv() {
  if (!Role().empty()) {
    ns_ = std::getenv(kVars[0]) ? std::getenv(kVars[0]) : "";
    registryDir_ = std::getenv(kVars[1]) ? std::getenv(kVars[1]) : "";
    deviceDir_ = std::getenv(kVars[2]) ? std::getenv(kVars[2]) : "";
    sysfsDir_ = std::getenv(kVars[3]) ? std::getenv(kVars[3]) : "";
    return;
  }
  owner_ = true;
  std::string pattern = (std::filesystem::temp_directory_path() / "dral-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  root_ = buf.data();
  ns_ = "t" + std::to_string(getpid()) + "_" + root_.substr(root_.size() - 6) + "_";
  registryDir_ = root_ + "/registry";
  deviceDir_ = root_ + "/devices";
  sysfsDir_ = root_ + "/sys";
  std::filesystem::create_directories(registryDir_);
  std::filesystem::create_directories(deviceDir_);
  std::filesystem::create_directories(sysfsDir_);
  setenv(kVars[0], ns_.c_str(), 1);
  setenv(kVars[1], registryDir_.c_str(), 1);
  setenv(kVars[2], deviceDir_.c_str(), 1);
  setenv(kVars[3], sysfsDir_.c_str(), 1);
}

IsolatedEnv::~IsolatedEnv() {
  if (!owner_) return;
  for (const char* v : kVars) unsetenv(v);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
  // Remove what the test left in /dev/shm under its namespace.
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    if (entry.path().filename().string().rfind(ns_, 0) == 0) std::filesystem::remove(entry, ec);
  }
}

Watchdog::Watchdog(int seconds) {
  thread_ = std::thread([this, seconds] {
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = true;
    cv_.notify_all();
    if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
      std::fprintf(stderr, "watchdog: test still running after %d s, aborting\n", seconds);
      std::fflush(stderr);
      std::abort();
    }
  });
  // Returns once the thread waits: a thread still starting may hold a lock of the allocator
  // (the sanitizers' one takes no care of fork), and a test that forks next would copy it held
  // into the child, whose first allocation on a new thread then waits for ever.
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return running_; });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

std::string CurrentTestFilter() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

namespace {

// The command line and environment that run this binary again in a role.
struct SelfCommand {
  SelfCommand(const std::string& gtestFilter, const std::string& role)
      : filter("--gtest_filter=" + gtestFilter) {
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind(std::string(kRoleVar) + "=", 0) != 0) env.emplace_back(*e);
    }
    env.push_back(std::string(kRoleVar) + "=" + role);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    argv = {exe, filter.data(), nullptr};
  }
  char exe[15] = "/proc/self/exe";
  std::string filter;
  std::vector<std::string> env;
  std::vector<char*> envp;
  std::vector<char*> argv;
};

}  // namespace

pid_t SpawnSelf(const std::string& gtestFilter, const std::string& role) {
  SelfCommand command(gtestFilter, role);
  pid_t pid = -1;
  if (posix_spawn(&pid, command.exe, nullptr, nullptr, command.argv.data(),
                  command.envp.data()) != 0) {
    return -1;
  }
  return pid;
}

pid_t ForkExecSelf(const std::string& gtestFilter, const std::string& role) {
  SelfCommand command(gtestFilter, role);  // built before the fork: the child only execs
  const pid_t pid = fork();
  if (pid == 0) {
    execve(command.exe, command.argv.data(), command.envp.data());
    _exit(127);
  }
  return pid;
}

int WaitChild(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int NiceOf(pid_t thread) { return getpriority(PRIO_PROCESS, static_cast<id_t>(thread)); }

bool IsRealTime(pid_t thread) {
  const int policy = sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK;
  return policy == SCHED_RR || policy == SCHED_FIFO;
}

size_t HeapBytesInUse() {
#ifdef DRAL_TEST_SANITIZER_ALLOCATOR
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

}  // namespace dral_test
