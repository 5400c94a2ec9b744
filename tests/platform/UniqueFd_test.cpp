#include "plat/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include <gtest/gtest.h>

#include "testsupport/test_env.h"

namespace {

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

class UniqueFdTest : public dral_test::IsolatedTest {};

TEST_F(UniqueFdTest, OwnerClosesOnceAndAMoveHandsTheDescriptorOver) {
  plat::UniqueFd readEnd;
  plat::UniqueFd writeEnd;
  int error = 0;
  ASSERT_TRUE(plat::MakePipe(&readEnd, &writeEnd, O_NONBLOCK, &error)) << error;
  const int raw = readEnd.Get();
  EXPECT_TRUE(fcntl(raw, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(raw, F_GETFL) & O_NONBLOCK);
  {
    plat::UniqueFd moved(std::move(readEnd));
    EXPECT_FALSE(readEnd);
    EXPECT_EQ(moved.Get(), raw);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));
  // A closed owner reports success once and then has nothing to close.
  EXPECT_EQ(writeEnd.Close(), 0);
  EXPECT_FALSE(writeEnd);
  EXPECT_EQ(writeEnd.Close(), 0);
}

TEST_F(UniqueFdTest, AssignmentClosesWhatTheTargetHeld) {
  plat::UniqueFd a;
  plat::UniqueFd b;
  int error = 0;
  ASSERT_TRUE(plat::MakePipe(&a, &b, 0, &error)) << error;
  const int first = a.Get();
  a = std::move(b);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_FALSE(b);
  const int second = a.Release();
  EXPECT_FALSE(a);
  EXPECT_TRUE(IsOpen(second));  // released, not closed
  close(second);
}

}  // namespace
