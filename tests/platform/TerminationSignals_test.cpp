#include "plat/termination_signals.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <optional>

#include <gtest/gtest.h>

#include "plat/process.h"
#include "testsupport/test_env.h"

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

class TerminationSignalsTest : public dral_test::IsolatedTest {};

TEST_F(TerminationSignalsTest, SignalMakesTheDescriptorReadableInsteadOfEndingTheProcess) {
  int error = 0;
  auto signals = plat::TerminationSignals::Open(&error);
  ASSERT_NE(signals, nullptr) << error;
  EXPECT_EQ(plat::TerminationSignals::Open(&error), nullptr);
  EXPECT_EQ(error, EBUSY);
  EXPECT_FALSE(signals->Drain());
  ASSERT_EQ(raise(SIGTERM), 0);  // the process lives on
  ASSERT_TRUE(Readable(signals->Descriptor(), 5000));
  EXPECT_TRUE(signals->Drain());
  EXPECT_FALSE(signals->Drain());
  signals.reset();

  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  // Free again for the next owner.
  signals = plat::TerminationSignals::Open(&error);
  EXPECT_NE(signals, nullptr) << error;
}

// A program holds the signals back until its handler is in place: one that came meanwhile
// reaches the descriptor when the hold ends, instead of ending the program or being lost.
TEST_F(TerminationSignalsTest, SignalHeldBackAtStartReachesTheDescriptorWhenTheHoldEnds) {
  std::optional<plat::TerminationSignalHold> hold(std::in_place);
  ASSERT_EQ(raise(SIGHUP), 0);  // pending: this thread holds it back
  int error = 0;
  auto signals = plat::TerminationSignals::Open(&error);
  ASSERT_NE(signals, nullptr) << error;
  EXPECT_FALSE(Readable(signals->Descriptor(), 0));
  hold.reset();
  ASSERT_TRUE(Readable(signals->Descriptor(), 5000));
  EXPECT_TRUE(signals->Drain());
}

}  // namespace
