#include "comport/CPortThread.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "classlib/synchronize.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

using dral_test::MsSince;
using Clock = std::chrono::steady_clock;

// A port that logs the line notifications the window delivers.
class LoggingPort : public TComPort {
 public:
  std::vector<std::string> Log;  // main thread only
 protected:
  void CallCTSChange() override { Log.push_back("CTS"); }
  void CallRLSDChange() override { Log.push_back("RLSD"); }
};

// Hands a chosen batch on as the event thread would after a wait (never started: the test's
// own thread plays the event thread).
class ProbeThread : public TComThread {
 public:
  using TComThread::TComThread;
  void Dispatch(TComEvents events) {
    SetEvents(events);
    DispatchComMsg();
  }
};

// What the port's handlers saw, from whichever thread ran them.
struct Seen {
  std::mutex Mutex;
  std::string Bytes;            // OnRxBuf
  int32_t Chars = 0;            // OnRxChar counts
  std::vector<std::thread::id> Threads;
  std::vector<std::string> Failures;  // OnException, main thread
  std::atomic<int> Calls{0};

  void RxChar(TCustomComPort*, int32_t count) {
    Note();
    std::lock_guard<std::mutex> lock(Mutex);
    Chars += count;
  }
  void RxBuf(TCustomComPort*, const void* data, int32_t count) {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Bytes.append(static_cast<const char*>(data), static_cast<size_t>(count));
    }
    Note();
  }
  void Throw(TCustomComPort*, int32_t) {
    Note();
    throw std::runtime_error("handler failed");
  }
  void Failure(const std::exception& e) {
    std::lock_guard<std::mutex> lock(Mutex);
    Failures.push_back(e.what());
  }
  void Note() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Threads.push_back(std::this_thread::get_id());
    }
    ++Calls;
  }
  std::string Received() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Bytes;
  }
  size_t FailureCount() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Failures.size();
  }
  bool AllOn(std::thread::id id) {
    std::lock_guard<std::mutex> lock(Mutex);
    for (auto t : Threads)
      if (t != id) return false;
    return !Threads.empty();
  }
};

double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

class EventThreadTest : public dral_test::IsolatedTest {
 protected:
  void SetUp() override {
    cls::SetMainThread();
    port_.SetPort(pty_.SlavePath());
    port_.OnException = decltype(port_.OnException)::Of<&Seen::Failure>(&seen_);
  }
  void TearDown() override {
    try {
      port_.Close();
    } catch (const EComPort&) {
    }
    cls::SetSynchronizeWakeUp({});
    cls::CheckSynchronize();
    cls::ClearMainThread();
  }
  void Open(TSyncMethod method, TComEvents events) {
    port_.SetSyncMethod(method);
    port_.SetEvents(events);
    port_.Open();
  }
  // Serves the main-thread queue, as the program's event loop does, until `done`.
  static bool Pump(const std::function<bool()>& done) {
    return dral_test::WaitUntil([&] {
      cls::CheckSynchronize();
      return done();
    });
  }

  dral_test::PtyPair pty_;
  LoggingPort port_;
  Seen seen_;
  const std::thread::id main_ = std::this_thread::get_id();
};

TEST_F(EventThreadTest, WithoutSynchronisingReceivedDataIsNotifiedOnTheEventThread) {
  port_.OnRxChar = TRxCharEvent::Of<&Seen::RxChar>(&seen_);
  Open(TSyncMethod::smNone, {TComEvent::evRxChar});
  pty_.Write("abc");
  // No pumping: the notification must not need the main thread.
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(seen_.Mutex);
    return seen_.Chars >= 3;
  }));
  EXPECT_FALSE(seen_.AllOn(main_));
  EXPECT_EQ(seen_.Received(), "");  // the bytes stay queued for the application
  EXPECT_EQ(port_.InputCount(), 3);
}

TEST_F(EventThreadTest, ThreadSyncRunsTheNotificationOnTheMainThreadWhenItServesTheQueue) {
  port_.OnRxChar = TRxCharEvent::Of<&Seen::RxChar>(&seen_);
  std::atomic<bool> queued{false};
  cls::SetSynchronizeWakeUp([&] { queued = true; });
  Open(TSyncMethod::smThreadSync, {TComEvent::evRxChar});
  pty_.Write("abcd");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return queued.load(); }));
  EXPECT_EQ(seen_.Calls.load(), 0);  // waits for the main thread
  ASSERT_TRUE(Pump([&] { return seen_.Calls.load() > 0; }));
  EXPECT_TRUE(seen_.AllOn(main_));
}

TEST_F(EventThreadTest, ReceivedBytesReachTheBufferHandlersOnTheThreadTheMethodSelects) {
  // The port's own OnRxBuf through the window, on the main thread.
  port_.OnRxBuf = TRxBufEvent::Of<&Seen::RxBuf>(&seen_);
  port_.OnRxChar = TRxCharEvent::Of<&Seen::RxChar>(&seen_);
  port_.SetTriggersOnRxChar(false);
  Open(TSyncMethod::smWindowSync, kAllComEvents);
  pty_.Write("hello");
  ASSERT_TRUE(Pump([&] { return seen_.Received() == "hello"; })) << seen_.Received();
  EXPECT_TRUE(seen_.AllOn(main_));
  EXPECT_EQ(seen_.Chars, 0);
  port_.Close();

  // A link's OnRxBuf with no synchronising, on the event thread.
  Seen linkSeen;
  TComLink link;
  link.OnRxBuf = TRxBufEvent::Of<&Seen::RxBuf>(&linkSeen);
  port_.RegisterLink(&link);
  Open(TSyncMethod::smNone, kAllComEvents);
  pty_.Write("world");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return linkSeen.Received() == "world"; }));
  EXPECT_FALSE(linkSeen.AllOn(main_));
  port_.Close();
  port_.UnRegisterLink(&link);
}

TEST_F(EventThreadTest, TheWindowGetsCtsBeforeRlsd) {
  Open(TSyncMethod::smWindowSync, {});  // no thread of the port's own
  port_.Log.clear();                    // the line states reported by Open
  ProbeThread probe(&port_);
  std::thread eventThread([&] { probe.Dispatch({TComEvent::evRLSD, TComEvent::evCTS}); });
  EXPECT_TRUE(Pump([&] { return port_.Log.size() == 2; }));
  eventThread.join();
  EXPECT_EQ(port_.Log, (std::vector<std::string>{"CTS", "RLSD"}));
}

TEST_F(EventThreadTest, CloseEndsTheThreadWithinOneWait) {
  Open(TSyncMethod::smThreadSync, {TComEvent::evRxChar});  // nothing sampled: a long wait
  auto start = Clock::now();
  port_.Close();
  EXPECT_LT(MsSince(start), 500);

  // The thread waits for the main thread, which closes instead of serving the queue: neither
  // waits for the other, and the abandoned batch never runs.
  port_.OnRxChar = TRxCharEvent::Of<&Seen::RxChar>(&seen_);
  std::atomic<bool> queued{false};
  cls::SetSynchronizeWakeUp([&] { queued = true; });
  Open(TSyncMethod::smThreadSync, {TComEvent::evRxChar});
  pty_.Write("x");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return queued.load(); }));
  start = Clock::now();
  port_.Close();
  EXPECT_LT(MsSince(start), 1000);
  cls::CheckSynchronize();
  EXPECT_EQ(seen_.Calls.load(), 0);
}

TEST_F(EventThreadTest, AHandlerFailureGoesToTheExceptionHandlerAndTheThreadGoesOn) {
  port_.OnRxChar = TRxCharEvent::Of<&Seen::Throw>(&seen_);
  Open(TSyncMethod::smNone, {TComEvent::evRxChar});
  pty_.Write("1");
  ASSERT_TRUE(Pump([&] { return seen_.FailureCount() == 1; }));
  pty_.Write("2");
  ASSERT_TRUE(Pump([&] { return seen_.FailureCount() == 2; }));
  std::lock_guard<std::mutex> lock(seen_.Mutex);
  EXPECT_EQ(seen_.Failures[0], "handler failed");
}

TEST_F(EventThreadTest, WithoutMainThreadOrExceptionHandlerAHandlerFailureKeepsTheThread) {
  cls::ClearMainThread();
  port_.OnException = {};  // the failure goes to stderr, from the event thread itself
  port_.OnRxChar = TRxCharEvent::Of<&Seen::Throw>(&seen_);
  Open(TSyncMethod::smNone, {TComEvent::evRxChar});
  testing::internal::CaptureStderr();
  pty_.Write("1");
  const bool first = dral_test::WaitUntil([&] { return seen_.Calls.load() == 1; });
  pty_.Write("2");
  const bool second = dral_test::WaitUntil([&] { return seen_.Calls.load() == 2; });
  port_.Close();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_NE(err.find("handler failed"), std::string::npos) << err;
}

TEST_F(EventThreadTest, AHungUpDeviceIsReportedOnceAndDoesNotSpin) {
  Open(TSyncMethod::smNone, kAllComEvents);
  pty_.HangUp();
  ASSERT_TRUE(Pump([&] { return seen_.FailureCount() == 1; }));
  {
    std::lock_guard<std::mutex> lock(seen_.Mutex);
    EXPECT_NE(seen_.Failures[0].find(EComPort::Text(CError_WaitFailed)), std::string::npos);
  }
  // A thread still looping on the dead device would burn a whole core meanwhile.
  const double cpu = CpuMs();
  const auto start = Clock::now();
  Pump([&] { return MsSince(start) >= 300; });
  EXPECT_LT(CpuMs() - cpu, 150);
  EXPECT_EQ(seen_.FailureCount(), 1u);
}

}  // namespace
}  // namespace comport

namespace comport {
namespace {

// A handler that closes its own port: the close is refused at once instead of waiting for the
// event thread, which waits for the handler.
struct SelfCloser {
  std::atomic<int> Refused{0};
  void RxBuf(TCustomComPort* port, const void*, int32_t) {
    try {
      port->Close();
    } catch (const cls::Exception&) {
      ++Refused;
    }
  }
};

class EventThreadSelfClose : public EventThreadTest,
                             public ::testing::WithParamInterface<TSyncMethod> {};

TEST_P(EventThreadSelfClose, AHandlerClosingItsOwnPortIsRefusedAndTheThreadGoesOn) {
  SelfCloser closer;
  port_.OnRxBuf = TRxBufEvent::Of<&SelfCloser::RxBuf>(&closer);
  port_.SetTriggersOnRxChar(false);
  Open(GetParam(), {TComEvent::evRxChar});
  pty_.Write("a");
  ASSERT_TRUE(Pump([&] { return closer.Refused.load() >= 1; }));
  EXPECT_TRUE(port_.Connected());
  pty_.Write("b");
  ASSERT_TRUE(Pump([&] { return closer.Refused.load() >= 2; }));
  port_.Close();  // from the owner, outside a batch: ends the thread
  EXPECT_FALSE(port_.Connected());
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, EventThreadSelfClose,
                         ::testing::Values(TSyncMethod::smNone, TSyncMethod::smThreadSync));

}  // namespace
}  // namespace comport
