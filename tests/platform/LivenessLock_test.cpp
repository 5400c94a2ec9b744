#include "plat/liveness_lock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "plat/object_name.h"
#include "testsupport/test_env.h"

namespace {

using plat::LivenessLock;

constexpr const char* kName = "Global\\Alive Test";

std::unique_ptr<LivenessLock> Acquire(const std::string& name) {
  int error = 0;
  auto lock = LivenessLock::TryAcquire(name, &error);
  EXPECT_NE(lock, nullptr) << "errno " << error;
  return lock;
}

class LivenessLockTest : public dral_test::IsolatedTest {};

TEST_F(LivenessLockTest, HeldUntilReleasedThenTheNameIsGoneAndFreeForTheNext) {
  EXPECT_FALSE(LivenessLock::IsHeld(kName));
  auto lock = Acquire(kName);
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(LivenessLock::IsHeld(kName));
  int error = 0;
  EXPECT_EQ(LivenessLock::TryAcquire(kName, &error), nullptr);  // also in the same process
  EXPECT_EQ(error, EWOULDBLOCK);
  struct stat st {};
  ASSERT_EQ(stat(("/dev/shm" + plat::PosixObjectName(kName)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  lock.reset();
  EXPECT_FALSE(LivenessLock::IsHeld(kName));
  EXPECT_NE(stat(("/dev/shm" + plat::PosixObjectName(kName)).c_str(), &st), 0);
  EXPECT_NE(Acquire(kName), nullptr);
}

TEST_F(LivenessLockTest, TestingNeverMakesAnAcquireFail) {
  std::atomic<bool> stop{false};
  std::thread tester([&] {
    while (!stop.load()) LivenessLock::IsHeld(kName);
  });
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    int error = 0;
    if (!LivenessLock::TryAcquire(kName, &error)) ++failures;  // released again at once
  }
  stop = true;
  tester.join();
  EXPECT_EQ(failures, 0);
}

TEST_F(LivenessLockTest, AForkedChildHoldsNoneOfItsParentsLocksAndLeavesTheirNames) {
  auto lock = Acquire(kName);
  ASSERT_NE(lock, nullptr);
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Inert here: dropping it neither removes the name nor ends the parent's lock.
    const char owned = lock->Owned() ? 'y' : 'n';
    lock.reset();
    (void)!write(toParent[1], &owned, 1);
    char go = 0;
    (void)!read(toChild[0], &go, 1);  // stays alive while the parent checks
    _exit(0);
  }
  char owned = 0;
  ASSERT_EQ(read(toParent[0], &owned, 1), 1);
  EXPECT_EQ(owned, 'n');
  EXPECT_TRUE(lock->Owned());
  EXPECT_TRUE(LivenessLock::IsHeld(kName)) << "the child's exit ended the parent's lock";
  lock.reset();
  EXPECT_FALSE(LivenessLock::IsHeld(kName)) << "the child still holds the parent's lock";
  (void)!write(toChild[1], "g", 1);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

TEST_F(LivenessLockTest, ARenamedLockStaysHeldAndIsListedAndRemovedByItsNewName) {
  int error = 0;
  auto lock = LivenessLock::Create("Global\\Alive Joining 7", &error);
  ASSERT_NE(lock, nullptr) << error;
  EXPECT_EQ(LivenessLock::Create("Global\\Alive Joining 7", &error), nullptr);
  EXPECT_EQ(error, EEXIST);
  ASSERT_TRUE(lock->Rename("Global\\Alive Attached 7", &error)) << error;
  EXPECT_TRUE(LivenessLock::IsHeld("Global\\Alive Attached 7"));
  EXPECT_FALSE(LivenessLock::IsHeld("Global\\Alive Joining 7"));
  auto other = Acquire("Global\\Alive Attached 8");
  auto names = LivenessLock::List("Global\\Alive Attached ");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Global\\Alive Attached 7",
                                             "Global\\Alive Attached 8"}));
  EXPECT_TRUE(LivenessLock::List("Global\\Alive Joining ").empty());
  lock.reset();
  EXPECT_FALSE(LivenessLock::Remove("Global\\Alive Attached 7"));  // its holder removed it
  EXPECT_EQ(LivenessLock::List("Global\\Alive Attached ").size(), 1u);
}

}  // namespace
