#include "classlib/synchronize.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "classlib/exception.h"
#include "classlib/thread.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"
#include "testsupport/thread_state.h"

namespace {

using dral_test::MsSince;

// Drains the queue on this (main) thread until `done` or 5 s.
void PumpUntil(const std::atomic<bool>& done) {
  const auto start = std::chrono::steady_clock::now();
  while (!done && MsSince(start) < 5000) {
    cls::CheckSynchronize();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class WithoutMainThread : public dral_test::IsolatedTest {
 protected:
  void SetUp() override { cls::ClearMainThread(); }
};

TEST_F(WithoutMainThread, SynchronizeRunsOnTheCallingThread) {
  std::thread::id ranOn, caller;
  std::thread t([&] {
    caller = std::this_thread::get_id();
    EXPECT_TRUE(cls::SynchronizeCall([&] { ranOn = std::this_thread::get_id(); }, 1000));
  });
  t.join();
  EXPECT_EQ(ranOn, caller);
  EXPECT_FALSE(cls::IsMainThread());
}

TEST_F(WithoutMainThread, QueueCallRunsAtOnceAndDropsWhatTheMethodRaises) {
  bool ran = false;
  cls::QueueCall([&] { ran = true; });
  EXPECT_TRUE(ran);
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(cls::QueueCall([] { throw cls::Exception("queued failure"); }));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "queued failure\n");
}

class WithMainThread : public dral_test::IsolatedTest {
 protected:
  void SetUp() override { cls::SetMainThread(); }
  void TearDown() override {
    cls::SetSynchronizeWakeUp({});
    cls::CheckSynchronize();
    cls::ClearMainThread();
  }
};

TEST_F(WithMainThread, SynchronizeRunsOnTheMainThreadAndWaits) {
  const auto mainId = std::this_thread::get_id();
  std::thread::id ranOn;
  std::atomic<bool> returned{false}, queued{false};
  std::atomic<pid_t> tid{0};
  bool result = false;
  cls::SetSynchronizeWakeUp([&] { queued = true; });
  std::thread worker([&] {
    tid = dral_test::ThisThreadId();
    result = cls::SynchronizeCall([&] { ranOn = std::this_thread::get_id(); }, 5000);
    returned = true;
  });
  // Blocked until the main thread drains: once queued, the worker sleeps and has not returned.
  const auto start = std::chrono::steady_clock::now();
  while (!queued && MsSince(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(queued);
  EXPECT_TRUE(dral_test::WaitUntilThreadSleeps(tid.load())) << "the worker did not block";
  EXPECT_FALSE(returned);
  PumpUntil(returned);
  worker.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn, mainId);
}

TEST_F(WithMainThread, SynchronizeGivesUpAfterItsBoundAndTheMethodNeverRuns) {
  std::atomic<bool> ran{false};
  bool result = true;
  double ms = 0;
  std::thread worker([&] {
    const auto start = std::chrono::steady_clock::now();
    result = cls::SynchronizeCall([&] { ran = true; }, 200);
    ms = MsSince(start);
  });
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_GE(ms, 195.0);
  EXPECT_LT(ms, 2000.0);
  EXPECT_EQ(cls::CheckSynchronize(), 0);
  EXPECT_FALSE(ran);
}

TEST_F(WithMainThread, SynchronizeOnTheMainThreadRunsAtOnce) {
  bool ran = false;
  EXPECT_TRUE(cls::SynchronizeCall([&] { ran = true; }, 0));
  EXPECT_TRUE(ran);
  EXPECT_TRUE(cls::IsMainThread());
}

TEST_F(WithMainThread, ExceptionOfTheMethodReachesTheCaller) {
  std::atomic<bool> returned{false};
  std::string caught;
  std::thread worker([&] {
    try {
      cls::SynchronizeCall([] { throw cls::Exception("on main"); }, 5000);
    } catch (const cls::Exception& e) {
      caught = e.Message();
    }
    returned = true;
  });
  PumpUntil(returned);
  worker.join();
  EXPECT_EQ(caught, "on main");
}

TEST_F(WithMainThread, QueuedMethodsRunInOrderAtTheNextCheck) {
  std::string order;
  std::thread([&] {
    cls::QueueCall([&] { order += "a"; });
    cls::QueueCall([&] { order += "b"; });
  }).join();
  cls::QueueCall([&] { order += "c"; });  // also queued on the main thread itself
  EXPECT_EQ(order, "");
  EXPECT_EQ(cls::CheckSynchronize(), 3);
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(cls::CheckSynchronize(), 0);
}

TEST_F(WithMainThread, CheckOffTheMainThreadRunsNothing) {
  bool ran = false;
  cls::QueueCall([&] { ran = true; });
  int count = -1;
  std::thread([&] { count = cls::CheckSynchronize(); }).join();
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(ran);
  EXPECT_EQ(cls::CheckSynchronize(), 1);
  EXPECT_TRUE(ran);
}

TEST_F(WithMainThread, WakeUpHookIsCalledForEachQueueing) {
  std::atomic<int> wakes{0};
  cls::SetSynchronizeWakeUp([&] { ++wakes; });
  cls::QueueCall([] {});
  std::thread([] { cls::QueueCall([] {}); }).join();
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(cls::CheckSynchronize(), 2);
}

TEST_F(WithMainThread, FailingQueuedMethodIsReportedAndTheRestRun) {
  bool after = false;
  cls::QueueCall([] { throw cls::Exception("queued failure"); });
  cls::QueueCall([] { throw cls::EAbort(); });
  cls::QueueCall([&] { after = true; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(cls::CheckSynchronize(), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "queued failure\n");
  EXPECT_TRUE(after);
}

class SyncingThread : public cls::TThread {
 public:
  std::thread::id RanOn;
  ~SyncingThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    Synchronize([this] { RanOn = std::this_thread::get_id(); });
  }
};

TEST_F(WithMainThread, WaitForOnTheMainThreadServesSynchronize) {
  SyncingThread t;
  t.Start();
  EXPECT_TRUE(t.WaitFor(5000));
  EXPECT_EQ(t.RanOn, std::this_thread::get_id());
}

TEST_F(WithMainThread, DestructionOnTheMainThreadServesSynchronize) {
  const auto start = std::chrono::steady_clock::now();
  {
    SyncingThread t;
    t.Start();
  }
  EXPECT_LT(MsSince(start), 5000.0);
}

}  // namespace
