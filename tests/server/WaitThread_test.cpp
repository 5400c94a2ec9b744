#include "server/WaitThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "plat/event.h"
#include "testsupport/test_env.h"

namespace {

using dral::RoundClosure;
using dral::TWaitThread;

// A round that counts itself and, the first time, pulses the event as a client does that puts
// a request after the pass has looked at its ring: the next round must follow at once, not
// after the wait's full time.
struct PulsingRound {
  plat::Event* event = nullptr;
  std::atomic<int> rounds{0};
  void Round() {
    if (rounds.fetch_add(1) == 0) event->Pulse();
  }
};

class WaitThreadTest : public dral_test::IsolatedTest {};

TEST_F(WaitThreadTest, APulseDuringARoundStartsTheNextRoundAtOnce) {
  plat::LocalEvent event;
  PulsingRound round;
  round.event = &event;
  constexpr uint32_t kVeryLongRoundMs = 60000;  // a lost pulse would stall past the deadline
  TWaitThread thread(true, &event, kVeryLongRoundMs);
  thread.RoundHandler = RoundClosure::Of<&PulsingRound::Round>(&round);
  thread.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (round.rounds.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(round.rounds.load(), 2);
  thread.Terminate();
  event.Pulse();  // ends the long wait
  thread.WaitFor();
}

// A round that leaves work behind and asks for the next round soon, the first time only.
struct RetryingRound {
  TWaitThread* thread = nullptr;
  std::atomic<int> rounds{0};
  void Round() {
    if (rounds.fetch_add(1) == 0) thread->RetrySoon();
  }
};

TEST_F(WaitThreadTest, ARoundThatAsksToRetrySoonGetsTheNextRoundWithoutAPulse) {
  plat::LocalEvent event;
  RetryingRound round;
  constexpr uint32_t kVeryLongRoundMs = 60000;  // without the retry the second round waits this
  TWaitThread thread(true, &event, kVeryLongRoundMs);
  round.thread = &thread;
  thread.RoundHandler = RoundClosure::Of<&RetryingRound::Round>(&round);
  thread.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (round.rounds.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(round.rounds.load(), 2);  // and the third waits again, as nothing asked for it
  thread.Terminate();
  event.Pulse();
  thread.WaitFor();
}

}  // namespace
