#include "plat/event.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc_test_util.h"
#include "plat/shared_memory.h"
#include "testsupport/test_env.h"
#include "testsupport/thread_state.h"

namespace {

using plat::Event;
using plat::LocalEvent;
using plat::NamedEvent;
using plat::WaitResult;
using plat_test::MsSince;

constexpr int kChildTimeoutMs = 20000;
constexpr uint32_t kLongWaitMs = 10000;

std::unique_ptr<NamedEvent> OpenOrFail(const std::string& name) {
  int error = 0;
  auto e = NamedEvent::Open(name, &error);
  EXPECT_NE(e, nullptr) << "errno " << error;
  return e;
}

// Starts `n` threads that each Wait(timeoutMs) on `event` and record the result; returns once
// every one of them sleeps inside its wait.
struct Waiters {
  Waiters(Event& event, int n, uint32_t timeoutMs) : results(n, WaitResult::Failed), tids(n) {
    for (int i = 0; i < n; ++i) {
      threads.emplace_back([&, i, timeoutMs] {
        tids[i] = dral_test::ThisThreadId();  // after this only the wait can block
        results[i] = event.Wait(timeoutMs);
        ++returned;
      });
    }
    for (auto& tid : tids) {
      EXPECT_TRUE(plat_test::WaitUntil([&] { return tid.load() != 0; }, 5000));
      EXPECT_TRUE(dral_test::WaitUntilThreadSleeps(tid.load())) << "a waiter never blocked";
    }
  }
  void Join() {
    for (auto& t : threads) t.join();
  }
  std::atomic<int> returned{0};
  std::vector<WaitResult> results;
  std::vector<std::atomic<pid_t>> tids;
  std::vector<std::thread> threads;
};

class EventTest : public dral_test::IsolatedTest {};

TEST_F(EventTest, NewEventIsClear) {
  LocalEvent local;
  EXPECT_FALSE(local.IsSet());
  EXPECT_EQ(local.Wait(0), WaitResult::Timeout);
  auto named = OpenOrFail("Global\\DRAL_Driver_Event Server");
  ASSERT_NE(named, nullptr);
  EXPECT_FALSE(named->IsSet());
  EXPECT_EQ(named->Wait(0), WaitResult::Timeout);
}

TEST_F(EventTest, SetStaysUntilReset) {
  LocalEvent e;
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_EQ(e.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(e.Wait(1000), WaitResult::Signaled);
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_EQ(e.Wait(50), WaitResult::Timeout);
}

TEST_F(EventTest, WaitTimesOutWithinBounds) {
  LocalEvent e;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e.Wait(300), WaitResult::Timeout);
  const double ms = MsSince(start);
  EXPECT_GE(ms, 295.0);
  EXPECT_LT(ms, 2000.0);
}

TEST_F(EventTest, WaitZeroDoesNotBlock) {
  LocalEvent e;
  EXPECT_EQ(e.Wait(0), WaitResult::Timeout);  // the code and the pages it touches are in
  const long waits = dral_test::WaitsOfThisThread();
  EXPECT_EQ(e.Wait(0), WaitResult::Timeout);
  EXPECT_EQ(dral_test::WaitsOfThisThread(), waits);
}

TEST_F(EventTest, SetReleasesAllWaiters) {
  LocalEvent e;
  Waiters w(e, 6, kLongWaitMs);
  EXPECT_EQ(w.returned, 0);
  const auto start = std::chrono::steady_clock::now();
  e.Set();
  w.Join();
  EXPECT_LT(MsSince(start), 5000.0);
  for (WaitResult r : w.results) EXPECT_EQ(r, WaitResult::Signaled);
  EXPECT_TRUE(e.IsSet());
}

TEST_F(EventTest, PulseWakesTheWaitersAndLeavesTheEventClear) {
  LocalEvent e;
  Waiters w(e, 6, kLongWaitMs);
  EXPECT_EQ(w.returned, 0);
  const auto start = std::chrono::steady_clock::now();
  e.Pulse();
  w.Join();
  EXPECT_LT(MsSince(start), 5000.0);
  for (WaitResult r : w.results) EXPECT_EQ(r, WaitResult::Signaled);
  EXPECT_FALSE(e.IsSet());
  // A wait that begins after the pulse does not see it.
  EXPECT_EQ(e.Wait(200), WaitResult::Timeout);
}

TEST_F(EventTest, PulseWithoutWaitersIsLost) {
  LocalEvent e;
  e.Pulse();
  EXPECT_EQ(e.Wait(100), WaitResult::Timeout);
}

// The consumer's pattern: read the generation, find no work, then wait. A pulse in between
// (nobody waiting, so no wake-up call is made) must still end the wait at once.
TEST_F(EventTest, APulseBetweenTheCheckAndTheWaitIsNotLost) {
  LocalEvent e;
  const uint32_t seen = e.Generation();
  e.Pulse();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e.WaitForChange(seen, kLongWaitMs), WaitResult::Signaled);
  EXPECT_LT(MsSince(start), 2000.0);
  EXPECT_EQ(e.WaitForChange(e.Generation(), 0), WaitResult::Timeout);
  EXPECT_EQ(e.WaitForChange(seen, 0), WaitResult::Signaled);
}

TEST_F(EventTest, WaitForChangeSleepsUntilThePulseThatComesLater) {
  LocalEvent e;
  const uint32_t seen = e.Generation();
  EXPECT_EQ(e.WaitForChange(seen, 50), WaitResult::Timeout);
  WaitResult r = WaitResult::Failed;
  std::atomic<pid_t> tid{0};
  std::thread waiter([&] {
    tid = dral_test::ThisThreadId();  // after this only the wait can block
    r = e.WaitForChange(seen, kLongWaitMs);
  });
  EXPECT_TRUE(plat_test::WaitUntil([&] { return tid.load() != 0; }, 5000));
  EXPECT_TRUE(dral_test::WaitUntilThreadSleeps(tid.load())) << "the waiter never blocked";
  e.Pulse();
  waiter.join();
  EXPECT_EQ(r, WaitResult::Signaled);
}

// Many rounds of put-then-pulse against check-then-wait: with a wait of 10 s, a single lost
// wake-up shows as a stall that the round's time limit catches.
TEST_F(EventTest, NoWakeUpIsLostBetweenTwoThreadsTakingTurns) {
  LocalEvent ping, pong;
  std::atomic<uint32_t> ball{0};
  constexpr uint32_t kRounds = 10000;
  std::thread other([&] {
    for (uint32_t n = 1; n <= kRounds; n += 2) {
      uint32_t seen = ping.Generation();
      while (ball.load() != n) {
        if (ping.WaitForChange(seen, kLongWaitMs) != WaitResult::Signaled) return;
        seen = ping.Generation();
      }
      ball.store(n + 1);
      pong.Pulse();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t n = 0; n < kRounds; n += 2) {
    uint32_t seen = pong.Generation();
    ball.store(n + 1);
    ping.Pulse();
    while (ball.load() != n + 2) {
      ASSERT_EQ(pong.WaitForChange(seen, kLongWaitMs), WaitResult::Signaled) << "round " << n;
      seen = pong.Generation();
    }
  }
  other.join();
  EXPECT_LT(MsSince(start), 9000.0);
}

TEST_F(EventTest, PulseClearsASetEvent) {
  LocalEvent e;
  e.Set();
  e.Pulse();
  EXPECT_FALSE(e.IsSet());
  EXPECT_EQ(e.Wait(50), WaitResult::Timeout);
}

TEST_F(EventTest, WaiterReleasedBySetStaysReleasedAfterAQuickReset) {
  LocalEvent e;
  Waiters w(e, 3, kLongWaitMs);
  e.Set();
  e.Reset();
  w.Join();
  for (WaitResult r : w.results) EXPECT_EQ(r, WaitResult::Signaled);
}

TEST_F(EventTest, SignalsDoNotEndAWait) {
  plat_test::InstallInterruptSignal();
  LocalEvent e;
  std::atomic<bool> done{false};
  WaitResult r = WaitResult::Failed;
  double ms = 0;
  std::thread waiter([&] {
    const auto start = std::chrono::steady_clock::now();
    r = e.Wait(400);
    ms = MsSince(start);
    done = true;
  });
  while (!done) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  waiter.join();
  EXPECT_EQ(r, WaitResult::Timeout);
  EXPECT_GE(ms, 395.0);
  EXPECT_LT(ms, 2500.0);
}

TEST_F(EventTest, HandlesOfOneNameShareTheState) {
  auto a = OpenOrFail("Global\\DRAL_Driver_Event Client3");
  auto b = OpenOrFail("Global\\DRAL_Driver_Event Client3");
  ASSERT_NE(b, nullptr);
  Waiters w(*b, 2, kLongWaitMs);
  a->Pulse();
  w.Join();
  for (WaitResult r : w.results) EXPECT_EQ(r, WaitResult::Signaled);
  a->Set();
  EXPECT_TRUE(b->IsSet());
  b->Reset();
  EXPECT_FALSE(a->IsSet());
}

TEST_F(EventTest, NamedEventIsFreshWhenNoHolderRemains) {
  {
    auto e = OpenOrFail("Global\\DRAL_Driver_Event Server");
    ASSERT_NE(e, nullptr);
    e->Set();
  }
  auto e = OpenOrFail("Global\\DRAL_Driver_Event Server");
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->IsSet());
}

TEST_F(EventTest, NamespacesNeverShareAnEvent) {
  const std::string base = env_.Namespace();
  setenv("DRAL_IPC_NAMESPACE", (base + "A").c_str(), 1);
  auto a = OpenOrFail("Global\\DRAL_Driver_Event Server");
  setenv("DRAL_IPC_NAMESPACE", (base + "B").c_str(), 1);
  auto b = OpenOrFail("Global\\DRAL_Driver_Event Server");
  setenv("DRAL_IPC_NAMESPACE", base.c_str(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->Set();
  EXPECT_FALSE(b->IsSet());
  EXPECT_EQ(b->Wait(50), WaitResult::Timeout);
}

// Parent and child take turns: each pulses the other's event until the other acknowledges in
// shared memory, then waits for its own pulse. A pulse is only ever sent while the peer can be
// waiting for it, so every Wait must end Signaled, and pulses leave the events clear.
struct PingPongBlock {
  std::atomic<uint32_t> ChildSeen;
  std::atomic<uint32_t> ParentSeen;
};

constexpr uint32_t kRounds = 25;

bool PulseUntil(Event& e, const std::atomic<uint32_t>& seen, uint32_t round) {
  return plat_test::WaitUntil(
      [&] {
        if (seen.load() == round) return true;
        e.Pulse();
        return false;
      },
      kChildTimeoutMs);
}

TEST_F(EventTest, TwoProcessesPulseAndWait) {
  int error = 0;
  auto mem = plat::SharedMemory::Open("Local\\PingPong", sizeof(PingPongBlock), &error);
  ASSERT_NE(mem, nullptr) << error;
  auto* block = static_cast<PingPongBlock*>(mem->View());
  auto ping = OpenOrFail("Global\\Ping");
  auto pong = OpenOrFail("Global\\Pong");
  ASSERT_NE(ping, nullptr);
  ASSERT_NE(pong, nullptr);

  if (dral_test::Role() == "ponger") {
    for (uint32_t r = 1; r <= kRounds; ++r) {
      if (ping->Wait(kChildTimeoutMs) != WaitResult::Signaled) _exit(2);
      block->ChildSeen = r;
      if (!PulseUntil(*pong, block->ParentSeen, r)) _exit(3);
    }
    _exit(ping->IsSet() ? 4 : 0);
  }

  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "ponger");
  ASSERT_GT(child, 0);
  for (uint32_t r = 1; r <= kRounds; ++r) {
    ASSERT_TRUE(PulseUntil(*ping, block->ChildSeen, r)) << "round " << r;
    ASSERT_EQ(pong->Wait(kChildTimeoutMs), WaitResult::Signaled) << "round " << r;
    block->ParentSeen = r;
  }
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  EXPECT_FALSE(pong->IsSet());
  EXPECT_EQ(pong->Wait(50), WaitResult::Timeout);
}

// A Set in one process releases a waiter in another and stays set.
TEST_F(EventTest, SetInOneProcessReleasesAWaiterInAnother) {
  auto go = OpenOrFail("Global\\Go");
  ASSERT_NE(go, nullptr);
  const std::string waiting = plat_test::Marker("waiting");
  if (dral_test::Role() == "waiter") {
    plat_test::Touch(waiting);  // after this only the wait can block
    _exit(go->Wait(kChildTimeoutMs) == WaitResult::Signaled && go->IsSet() ? 0 : 2);
  }
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "waiter");
  ASSERT_GT(child, 0);
  // Set only once the child sleeps in its wait, so the wake-up crosses the processes.
  EXPECT_TRUE(plat_test::WaitUntil([&] { return plat_test::Exists(waiting); }, kChildTimeoutMs));
  EXPECT_TRUE(dral_test::WaitUntilThreadSleeps(child, kChildTimeoutMs)) << "the child never blocked";
  go->Set();
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  EXPECT_TRUE(go->IsSet());
}

}  // namespace
