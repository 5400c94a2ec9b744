#include "plat/tick.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ipc_test_util.h"

namespace {

TEST(Tick, AdvancesWithTheMonotonicClock) {
  const uint32_t start = plat::GetTickCount();
  plat::Sleep(200);
  const uint32_t elapsed = plat::GetTickCount() - start;
  EXPECT_GE(elapsed, 200u);
  EXPECT_LT(elapsed, 1500u);
}

TEST(Tick, ElapsedUsesTheUnsignedDifference) {
  const uint32_t now = plat::GetTickCount();
  EXPECT_TRUE(plat::TickElapsed(now - 5000u, 1000));
  EXPECT_FALSE(plat::TickElapsed(now, 100000));
  EXPECT_TRUE(plat::TickElapsed(now, 0));
  // A start "after" now is 2^32 - 1 ms ago by unsigned difference, as across the wrap.
  EXPECT_TRUE(plat::TickElapsed(now + 1000u, 0x7FFFFFFFu));
}

TEST(Tick, SleepLastsAtLeastItsTime) {
  const auto start = std::chrono::steady_clock::now();
  plat::Sleep(150);
  const double ms = plat_test::MsSince(start);
  EXPECT_GE(ms, 150.0);
  EXPECT_LT(ms, 1500.0);
}

TEST(Tick, MicrosecondSleepLastsAtLeastItsTimeOnTheMicrosecondCount) {
  const uint64_t before = plat::MicrosecondCount();
  plat::SleepMicroseconds(700);
  const uint64_t slept = plat::MicrosecondCount() - before;
  EXPECT_GE(slept, 700u);
  EXPECT_LT(slept, 2000000u);
}

TEST(Tick, SleepResumesAfterSignals) {
  plat_test::InstallInterruptSignal();
  std::atomic<bool> done{false};
  double sleptMs = 0;
  std::thread sleeper([&] {
    const auto start = std::chrono::steady_clock::now();
    plat::Sleep(400);
    sleptMs = plat_test::MsSince(start);
    done = true;
  });
  while (!done) {
    pthread_kill(sleeper.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sleeper.join();
  EXPECT_GE(sleptMs, 400.0);
  EXPECT_LT(sleptMs, 2000.0);
}

// A sleep of no time may let other threads run, but never waits: the thread stays runnable,
// however long a busy machine keeps it from running again.
TEST(Tick, SleepsOfNoTimeNeverWait) {
  plat::Sleep(0);  // the code and the pages it touches are in
  plat::SleepMicroseconds(0);
  const long before = dral_test::WaitsOfThisThread();
  plat::Sleep(0);
  plat::SleepMicroseconds(0);
  EXPECT_EQ(dral_test::WaitsOfThisThread(), before);
  plat::Sleep(1);
  EXPECT_GT(dral_test::WaitsOfThisThread(), before);  // and a real sleep is counted
}

}  // namespace
