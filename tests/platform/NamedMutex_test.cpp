#include "plat/named_mutex.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "ipc_test_util.h"
#include "plat/object_name.h"
#include "plat/shared_memory.h"
#include "testsupport/test_env.h"

namespace {

using plat::LockResult;
using plat::NamedMutex;
using plat_test::Exists;
using plat_test::Marker;
using plat_test::MsSince;
using plat_test::Touch;
using plat_test::WaitUntil;

constexpr int kChildTimeoutMs = 20000;
constexpr const char* kName = "Global\\DRAL_Driver_Mutex";

std::unique_ptr<NamedMutex> OpenOrFail(const char* name = kName) {
  int error = 0;
  auto m = NamedMutex::Open(name, &error);
  EXPECT_NE(m, nullptr) << "errno " << error;
  return m;
}

// Lock(0) from a thread of its own: whether another thread could take the mutex now.
LockResult TryFromOtherThread(NamedMutex& m) {
  LockResult r = LockResult::Failed;
  std::thread t([&] {
    r = m.Lock(0);
    if (plat::Owned(r)) m.Unlock();
  });
  t.join();
  return r;
}

class NamedMutexTest : public dral_test::IsolatedTest {};

TEST_F(NamedMutexTest, FreshMutexIsFree) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Lock(0), LockResult::Acquired);
  m->Unlock();
}

TEST_F(NamedMutexTest, OwnerMayLockAgainAndMustUnlockAsOften) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
  ASSERT_EQ(m->Lock(0), LockResult::Acquired);
  m->Unlock();
  m->Unlock();
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Timeout);
  m->Unlock();
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
}

TEST_F(NamedMutexTest, LockTimesOutWhileAnotherThreadHoldsIt) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m->Unlock();
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m->Lock(300), LockResult::Timeout);
  const double ms = MsSince(start);
  EXPECT_GE(ms, 295.0);
  EXPECT_LT(ms, 2000.0);
  EXPECT_EQ(m->Lock(0), LockResult::Timeout);
  release = true;
  holder.join();
  EXPECT_EQ(m->Lock(1000), LockResult::Acquired);
  m->Unlock();
}

TEST_F(NamedMutexTest, WaiterGetsItWhenTheHolderReleases) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
  LockResult r = LockResult::Failed;
  std::thread waiter([&] {
    r = m->Lock(5000);
    if (plat::Owned(r)) m->Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  m->Unlock();
  waiter.join();
  EXPECT_EQ(r, LockResult::Acquired);
}

TEST_F(NamedMutexTest, TwoHandlesOfOneNameAreOneMutex) {
  auto a = OpenOrFail();
  auto b = OpenOrFail();
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(a->Lock(1000), LockResult::Acquired);
  EXPECT_EQ(TryFromOtherThread(*b), LockResult::Timeout);
  a->Unlock();
  EXPECT_EQ(TryFromOtherThread(*b), LockResult::Acquired);
}

TEST_F(NamedMutexTest, ThreadThatEndsHoldingItAbandonsIt) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  std::thread([&] { ASSERT_EQ(m->Lock(1000), LockResult::Acquired); }).join();
  EXPECT_EQ(m->Lock(1000), LockResult::Abandoned);
  m->Unlock();
  EXPECT_EQ(m->Lock(1000), LockResult::Acquired);
  m->Unlock();
}

TEST_F(NamedMutexTest, ScopedLockReleasesOnEveryExitPath) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  {
    plat::NamedMutexLock hold(*m, 1000);
    ASSERT_TRUE(hold.Owned());
    EXPECT_EQ(hold.Result(), LockResult::Acquired);
    EXPECT_EQ(TryFromOtherThread(*m), LockResult::Timeout);
  }
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
  try {
    plat::NamedMutexLock hold(*m, 1000);
    ASSERT_TRUE(hold.Owned());
    throw std::runtime_error("leaving the scope");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);  // an outer level held by this thread
  {
    plat::NamedMutexLock hold(*m, 1000);
    ASSERT_TRUE(hold.Owned());
    hold.Unlock();
    EXPECT_FALSE(hold.Owned());
  }
  // The outer level stays: a second release by the hold's destructor would have freed it.
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Timeout);
  m->Unlock();
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
}

TEST_F(NamedMutexTest, ScopedLockThatTimesOutReleasesNothing) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
  std::thread([&] {
    plat::NamedMutexLock hold(*m, 0);
    EXPECT_FALSE(hold.Owned());
    EXPECT_EQ(hold.Result(), LockResult::Timeout);
  }).join();
  // Still held by this thread once: a stray unlock by the failed hold would have freed it.
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Timeout);
  m->Unlock();
}

TEST_F(NamedMutexTest, ScopedLockReportsAnAbandonedMutex) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  std::thread([&] { ASSERT_EQ(m->Lock(1000), LockResult::Acquired); }).join();
  {
    plat::NamedMutexLock hold(*m, 1000);
    EXPECT_TRUE(hold.Owned());
    EXPECT_TRUE(hold.Abandoned());
  }
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
}

// Counts that threads never overlap inside the mutex.
TEST_F(NamedMutexTest, ExcludesThreadsFromEachOther) {
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  int inside = 0, overlaps = 0, total = 0;  // guarded by *m
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(m->Lock(5000), LockResult::Acquired);
        if (++inside != 1) ++overlaps;
        ++total;
        --inside;
        m->Unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(total, 8000);
}

// The child takes the mutex and dies holding it (SIGKILL or _exit, by role); the parent, which
// kept the mutex open, gets it Abandoned and the mutex stays usable.
void RunAbandonedByDeadProcess(const std::string& how) {
  const std::string role = dral_test::Role();
  if (role == "holder-kill" || role == "holder-exit") {
    int error = 0;
    auto m = NamedMutex::Open(kName, &error);
    if (!m) _exit(2);
    if (m->Lock(5000) != LockResult::Acquired) _exit(3);
    if (m->Lock(5000) != LockResult::Acquired) _exit(3);  // recursively, twice
    Touch(Marker("locked"));
    if (role == "holder-exit") _exit(0);
    for (;;) pause();
  }
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "holder-" + how);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([] { return Exists(Marker("locked")); }, kChildTimeoutMs));
  if (how == "kill") {
    EXPECT_EQ(m->Lock(100), LockResult::Timeout);  // a living owner keeps it
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 128 + SIGKILL);
  } else {
    ASSERT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  }
  ASSERT_EQ(m->Lock(5000), LockResult::Abandoned);
  m->Unlock();  // one level: the dead owner's recursion count is not inherited
  EXPECT_EQ(TryFromOtherThread(*m), LockResult::Acquired);
  EXPECT_EQ(m->Lock(1000), LockResult::Acquired);
  m->Unlock();
}

TEST_F(NamedMutexTest, ProcessKilledHoldingItAbandonsIt) { RunAbandonedByDeadProcess("kill"); }

TEST_F(NamedMutexTest, ProcessExitingHoldingItAbandonsIt) { RunAbandonedByDeadProcess("exit"); }

// When every holder died, the next opener gets a fresh, free mutex (no Abandoned).
TEST_F(NamedMutexTest, MutexIsFreshWhenNoHolderSurvived) {
  if (dral_test::Role() == "lone-holder") {
    int error = 0;
    auto m = NamedMutex::Open(kName, &error);
    if (!m || m->Lock(5000) != LockResult::Acquired) _exit(2);
    _exit(0);
  }
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "lone-holder");
  ASSERT_GT(child, 0);
  ASSERT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Lock(1000), LockResult::Acquired);
  m->Unlock();
}

// A process that holds the mutex makes another process's Lock wait out its time.
TEST_F(NamedMutexTest, LockTimesOutWhileAnotherProcessHoldsIt) {
  if (dral_test::Role() == "timed-locker") {
    int error = 0;
    auto m = NamedMutex::Open(kName, &error);
    if (!m) _exit(2);
    const auto start = std::chrono::steady_clock::now();
    if (m->Lock(300) != LockResult::Timeout) _exit(3);
    const double ms = MsSince(start);
    if (ms < 295.0 || ms > 3000.0) _exit(4);
    Touch(Marker("timed-out"));
    if (m->Lock(10000) != LockResult::Acquired) _exit(5);
    m->Unlock();
    _exit(0);
  }
  auto m = OpenOrFail();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->Lock(1000), LockResult::Acquired);
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "timed-locker");
  ASSERT_GT(child, 0);
  EXPECT_TRUE(WaitUntil([] { return Exists(Marker("timed-out")); }, kChildTimeoutMs));
  m->Unlock();
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
}

// Another user, as a child process of root can become one.
constexpr uid_t kOtherUser = 65534;

bool BecomeOtherUser() {
  return setgroups(0, nullptr) == 0 && setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
         setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

TEST_F(NamedMutexTest, AnOwnerOnlyMutexIsClosedToOtherUsersAndRefusesANameOneOfThemTook) {
  constexpr const char* kPrivateName = "PrivateQueueMutex";
  const std::string role = dral_test::Role();
  if (role == "other-user-opens" || role == "other-user-squats") {
    if (!BecomeOtherUser()) _exit(2);
    int error = 0;
    auto m = NamedMutex::Open(kPrivateName, &error);
    if (role == "other-user-opens") _exit(m == nullptr && error == EACCES ? 0 : 3);
    if (!m) _exit(4);
    for (;;) pause();  // holds the name until killed
  }
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";

  int error = 0;
  auto own = NamedMutex::Open(kPrivateName, &error, plat::ObjectAccess::OwnerOnly);
  ASSERT_NE(own, nullptr) << "errno " << error;
  pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "other-user-opens");
  ASSERT_GT(child, 0);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0) << "the other user opened it";
  own.reset();  // the last holder: the name goes

  // The other user takes the name first; the owner-only open neither shares nor clears it.
  child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "other-user-squats");
  ASSERT_GT(child, 0);
  const std::string path = "/dev/shm" + plat::PosixObjectName(kPrivateName);
  EXPECT_TRUE(WaitUntil(
      [&] {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && st.st_uid == kOtherUser;
      },
      kChildTimeoutMs));
  own = NamedMutex::Open(kPrivateName, &error, plat::ObjectAccess::OwnerOnly);
  EXPECT_EQ(own, nullptr);
  EXPECT_EQ(error, EACCES);
  kill(child, SIGKILL);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 128 + SIGKILL);
}

TEST_F(NamedMutexTest, NamespacesNeverShareAMutex) {
  const std::string base = env_.Namespace();
  setenv("DRAL_IPC_NAMESPACE", (base + "A").c_str(), 1);
  auto a = OpenOrFail();
  setenv("DRAL_IPC_NAMESPACE", (base + "B").c_str(), 1);
  auto b = OpenOrFail();
  setenv("DRAL_IPC_NAMESPACE", base.c_str(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(a->Lock(1000), LockResult::Acquired);
  EXPECT_EQ(TryFromOtherThread(*b), LockResult::Acquired);
  a->Unlock();
}

}  // namespace
