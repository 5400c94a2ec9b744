#include "classlib/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "classlib/exception.h"
#include "classlib/synchronize.h"
#include "plat/scheduling.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"
#include "testsupport/thread_state.h"

namespace {

using cls::TThread;
using cls::TThreadPriority;

using dral_test::MsSince;

// Runs a function as Execute; the derived destructor waits for it, as the contract asks.
class FnThread : public TThread {
 public:
  explicit FnThread(std::function<void(FnThread&)> body) : body_(std::move(body)) {}
  ~FnThread() override {
    Terminate();
    WaitFor();
  }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FnThread&)> body_;
};

// Loops until terminated.
void LoopUntilTerminated(FnThread& t) {
  while (!t.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class ThreadTest : public dral_test::IsolatedTest {};

TEST_F(ThreadTest, DoesNotRunBeforeStart) {
  std::atomic<bool> ran{false};
  const size_t threads = dral_test::ThreadCount();
  FnThread t([&](FnThread&) { ran = true; });
  // Nothing can run Execute yet: making the object started no thread.
  EXPECT_EQ(dral_test::ThreadCount(), threads);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(t.Started());
  t.Start();
  EXPECT_TRUE(t.WaitFor(5000));
  EXPECT_TRUE(ran);
  EXPECT_TRUE(t.Finished());
}

TEST_F(ThreadTest, NeverStartedThreadCountsAsEnded) {
  FnThread t([](FnThread&) {});
  EXPECT_TRUE(t.WaitFor(0));
}

TEST_F(ThreadTest, SecondStartDoesNothing) {
  std::atomic<int> runs{0};
  FnThread t([&](FnThread&) { ++runs; });
  t.Start();
  t.Resume();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_EQ(runs, 1);
}

TEST_F(ThreadTest, TerminateEndsALoopingExecute) {
  FnThread t(LoopUntilTerminated);
  t.Start();
  EXPECT_FALSE(t.WaitFor(100));
  EXPECT_FALSE(t.Finished());
  t.Terminate();
  EXPECT_TRUE(t.Terminated());
  EXPECT_TRUE(t.WaitFor(5000));
  EXPECT_TRUE(t.Finished());
}

TEST_F(ThreadTest, BoundedWaitForReturnsFalseWithinBounds) {
  FnThread t(LoopUntilTerminated);
  t.Start();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(t.WaitFor(300));
  const double ms = MsSince(start);
  EXPECT_GE(ms, 295.0);
  EXPECT_LT(ms, 2000.0);
}

TEST_F(ThreadTest, UnboundedWaitForReturnsWhenExecuteReturns) {
  // The sleep is the work: WaitFor must outlast it.
  FnThread t([](FnThread&) { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
  const auto start = std::chrono::steady_clock::now();
  t.Start();
  t.WaitFor();
  EXPECT_TRUE(t.Finished());
  EXPECT_GE(MsSince(start), 99.0);
}

// The base destructor alone terminates and joins a thread still running. By then the derived
// part is gone, so this Execute copies what it needs at its start and afterwards reaches the
// object only as a TThread.
class PlainLoop : public TThread {
 public:
  explicit PlainLoop(std::atomic<bool>* ended) : ended_(ended) {}
  std::atomic<bool> Running{false};

 protected:
  void Execute() override {
    std::atomic<bool>* ended = ended_;
    TThread* self = this;
    Running = true;
    while (!self->Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ended->store(true);
  }

 private:
  std::atomic<bool>* ended_;  // outlives the thread
};

TEST_F(ThreadTest, DestructorTerminatesAndJoinsARunningThread) {
  std::atomic<bool> ended{false};
  auto* t = new PlainLoop(&ended);
  t->Start();
  const auto start = std::chrono::steady_clock::now();
  while (!t->Running && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(t->Running);
  delete t;
  EXPECT_TRUE(ended);
}

class SelfFreeing : public TThread {
 public:
  SelfFreeing(std::atomic<bool>* destroyed, std::atomic<bool>* release,
              std::atomic<bool>* running = nullptr)
      : destroyed_(destroyed), release_(release), running_(running) {
    SetFreeOnTerminate(true);
  }
  ~SelfFreeing() override { destroyed_->store(true); }

 protected:
  void Execute() override {
    if (running_ != nullptr) running_->store(true);
    while (!release_->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  std::atomic<bool>* destroyed_;
  std::atomic<bool>* release_;
  std::atomic<bool>* running_;
};

TEST_F(ThreadTest, FreeOnTerminateDeletesTheObjectAfterExecute) {
  std::atomic<bool> destroyed{false}, release{false}, running{false};
  auto* t = new SelfFreeing(&destroyed, &release, &running);
  EXPECT_TRUE(t->FreeOnTerminate());
  t->Start();
  auto start = std::chrono::steady_clock::now();
  while (!running && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(running);
  EXPECT_FALSE(destroyed) << "deleted while Execute runs";
  release = true;
  start = std::chrono::steady_clock::now();
  while (!destroyed && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(destroyed);
}

TEST_F(ThreadTest, FreeOnTerminateWithAnImmediateExecute) {
  // Execute ends before Start returns, most of the time: the object must not be touched after.
  for (int i = 0; i < 50; ++i) {
    std::atomic<bool> destroyed{false}, release{true};
    auto* t = new SelfFreeing(&destroyed, &release);
    t->Start();
    const auto start = std::chrono::steady_clock::now();
    while (!destroyed && MsSince(start) < 5000) std::this_thread::yield();
    ASSERT_TRUE(destroyed);
  }
}

TEST_F(ThreadTest, ExceptionFromExecuteEndsOnlyTheThread) {
  FnThread t([](FnThread&) { throw cls::Exception("link lost"); });
  testing::internal::CaptureStderr();
  t.Start();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("link lost"), std::string::npos);
  EXPECT_TRUE(t.Finished());
}

TEST_F(ThreadTest, AbortFromExecuteIsSilent) {
  FnThread t([](FnThread&) { throw cls::EAbort(); });
  testing::internal::CaptureStderr();
  t.Start();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ThreadTest, ForeignExceptionFromExecuteIsReported) {
  FnThread t([](FnThread&) { throw std::runtime_error("odd failure"); });
  testing::internal::CaptureStderr();
  t.Start();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("odd failure"), std::string::npos);
}

TEST_F(ThreadTest, LowerPriorityReachesTheRunningThread) {
  std::atomic<int> tid{0};
  FnThread t([&](FnThread& self) {
    tid = static_cast<int>(gettid());
    LoopUntilTerminated(self);
  });
  t.Start();
  const auto start = std::chrono::steady_clock::now();
  while (tid == 0 && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(tid, 0);
  t.SetPriority(TThreadPriority::tpLowest);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpLowest);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load()));
  EXPECT_EQ(nice, 10);
}

TEST_F(ThreadTest, PrioritySetBeforeStartAppliesWhenItRuns) {
  std::atomic<int> nice{-100};
  FnThread t([&](FnThread&) { nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
  t.SetPriority(TThreadPriority::tpIdle);
  t.Start();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_EQ(nice, 19);
}

// A raised process class reaches threads started before it and after it; an application's
// highest thread (Normal class) stays below a raised process's normal threads.
TEST_F(ThreadTest, ThreadsStartedBeforeAndAfterARaiseRunInTheRaisedClass) {
  std::atomic<int> tid{0};
  FnThread before([&](FnThread& self) {
    tid = static_cast<int>(gettid());
    LoopUntilTerminated(self);
  });
  std::atomic<int> highestNice{100};
  FnThread probe([&](FnThread&) { highestNice = dral_test::NiceOf(gettid()); });
  probe.SetPriority(TThreadPriority::tpHighest);
  probe.Start();
  ASSERT_TRUE(probe.WaitFor(5000));
  before.Start();
  const auto start = std::chrono::steady_clock::now();
  while (tid == 0 && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(tid, 0);

  if (!plat::RaiseProcessPriority()) GTEST_SKIP() << "needs CAP_SYS_NICE";
  std::atomic<int> afterNice{100};
  FnThread after([&](FnThread&) { afterNice = dral_test::NiceOf(gettid()); });
  after.Start();
  ASSERT_TRUE(after.WaitFor(5000));
  EXPECT_EQ(dral_test::NiceOf(tid), -10);
  EXPECT_EQ(afterNice, -10);
  EXPECT_GT(highestNice, -10);
}

TEST_F(ThreadTest, RaisingPriorityNeverFails) {
  FnThread t(LoopUntilTerminated);
  t.SetPriority(TThreadPriority::tpTimeCritical);
  t.Start();
  t.SetPriority(TThreadPriority::tpHighest);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpHighest);
  t.Terminate();
  EXPECT_TRUE(t.WaitFor(5000));
}

}  // namespace
