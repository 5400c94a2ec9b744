#include "plat/scheduling.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using plat::ThreadPriority;

constexpr int kChildTimeoutMs = 20000;
constexpr uid_t kNobody = 65534;

// A thread that reports its id and waits until released.
class ParkedThread {
 public:
  ParkedThread() : thread_([this] { Run(); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return id_ != 0; });
  }
  ~ParkedThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  plat::ThreadId Id() const { return id_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    id_ = plat::CurrentThreadId();
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
    plat::ForgetThreadPriority(id_);
  }
  std::mutex mutex_;  // guards id_ and released_
  std::condition_variable cv_;
  plat::ThreadId id_ = 0;
  bool released_ = false;
  std::thread thread_;
};

class SchedulingTest : public dral_test::IsolatedTest {};

TEST_F(SchedulingTest, RaisingTheClassReachesEveryThreadThatRunsAlready) {
  ParkedThread plain;
  ParkedThread highest;
  ParkedThread critical;
  plat::SetThreadPriority(highest.Id(), ThreadPriority::Highest);
  plat::SetThreadPriority(critical.Id(), ThreadPriority::TimeCritical);
  EXPECT_EQ(dral_test::NiceOf(highest.Id()), -4);
  EXPECT_FALSE(dral_test::IsRealTime(critical.Id()));  // only the High class runs in real time

  if (!plat::RaiseProcessPriority()) GTEST_SKIP() << "needs CAP_SYS_NICE";
  EXPECT_TRUE(plat::ProcessPriorityRaised());
  EXPECT_EQ(dral_test::NiceOf(plat::CurrentThreadId()), -10);
  EXPECT_EQ(dral_test::NiceOf(plain.Id()), -10);
  EXPECT_EQ(dral_test::NiceOf(highest.Id()), -15);
  EXPECT_TRUE(dral_test::IsRealTime(critical.Id()));

  plat::SetThreadPriority(critical.Id(), ThreadPriority::Lowest);
  EXPECT_FALSE(dral_test::IsRealTime(critical.Id()));
  EXPECT_EQ(dral_test::NiceOf(critical.Id()), -7);

  // A thread that a lowered thread starts begins at its creator's value and adopts the class.
  std::atomic<int> inherited{0};
  std::atomic<int> adopted{0};
  plat::SetThreadPriority(plat::CurrentThreadId(), ThreadPriority::Idle);
  std::thread later([&] {
    inherited = dral_test::NiceOf(plat::CurrentThreadId());
    plat::AdoptProcessPriority();
    adopted = dral_test::NiceOf(plat::CurrentThreadId());
  });
  later.join();
  plat::SetThreadPriority(plat::CurrentThreadId(), ThreadPriority::Normal);
  EXPECT_EQ(inherited, 19);
  EXPECT_EQ(adopted, -10);
}

// Without the right to lower a nice value the threads stay where they are, and the debug
// output says so once.
TEST_F(SchedulingTest, WithoutTheRightEverythingStaysNormalAndTheDebugOutputSaysSoOnce) {
  if (dral_test::Role() == "unprivileged") {
    const std::string logPath = env_.RegistryDir() + "/stderr.txt";
    const int log = open(logPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(log, 0);
    ASSERT_EQ(dup2(log, STDERR_FILENO), STDERR_FILENO);
    setenv("DRAL_DEBUG", "1", 1);
    // Start from the value of an unprivileged program (another test may have raised this one).
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 0), 0);
    const rlimit none{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_NICE, &none), 0);
    // Root keeps CAP_SYS_NICE until it leaves uid 0.
    if (geteuid() == 0) {
      ASSERT_EQ(setresuid(kNobody, kNobody, kNobody), 0);
    }

    ParkedThread highest;
    plat::SetThreadPriority(highest.Id(), ThreadPriority::Highest);
    EXPECT_FALSE(plat::RaiseProcessPriority());
    EXPECT_FALSE(plat::ProcessPriorityRaised());
    plat::SetThreadPriority(highest.Id(), ThreadPriority::TimeCritical);
    EXPECT_EQ(dral_test::NiceOf(plat::CurrentThreadId()), 0);
    EXPECT_EQ(dral_test::NiceOf(highest.Id()), 0);
    EXPECT_FALSE(dral_test::IsRealTime(highest.Id()));

    std::string text(4096, '\0');
    const ssize_t n = pread(log, text.data(), text.size(), 0);
    ASSERT_GE(n, 0);
    text.resize(static_cast<size_t>(n));
    const std::string line = "Thread priorities cannot be raised";
    const size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(line, first + 1), std::string::npos) << text;
    return;
  }
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "unprivileged");
  ASSERT_GT(child, 0);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
}

// The kernel's scheduling group of this process's session, as /proc/self/autogroup shows it
// ("/autogroup-N nice V"); empty where the kernel has no such groups.
std::string SessionGroup() { return dral_test::ReadFile("/proc/self/autogroup"); }

// A process that leads its own session ranks against other sessions as its class does; one that
// only belongs to a session (a terminal's) leaves the session's other programs where they are.
TEST_F(SchedulingTest, ASessionLeaderRaisesItsSessionsGroupAndAMemberLeavesItAlone) {
  if (SessionGroup().empty()) GTEST_SKIP() << "no scheduling groups per session here";
  const std::string role = dral_test::Role();
  if (role == "leader") {
    ASSERT_GT(setsid(), 0);
    const std::string fresh = SessionGroup();
    ASSERT_EQ(fresh.substr(fresh.find(" nice ")), " nice 0\n") << fresh;
    if (!plat::RaiseProcessPriority()) GTEST_SKIP() << "needs CAP_SYS_NICE";
    const std::string group = SessionGroup();
    EXPECT_EQ(group.substr(group.find(" nice ")), " nice -10\n") << group;
    return;
  }
  if (role == "member") {
    ASSERT_NE(getsid(0), getpid());
    const std::string before = SessionGroup();
    if (!plat::RaiseProcessPriority()) GTEST_SKIP() << "needs CAP_SYS_NICE";
    EXPECT_EQ(SessionGroup(), before);
    return;
  }
  for (const char* child : {"leader", "member"}) {
    const pid_t pid = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), child);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(dral_test::WaitChild(pid, kChildTimeoutMs), 0) << child;
  }
}

}  // namespace
