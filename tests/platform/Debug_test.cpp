#include "plat/debug.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

TEST(Debug, SilentWithoutDralDebug) {
  unsetenv("DRAL_DEBUG");
  testing::internal::CaptureStderr();
  plat::OutputDebugString("Max message length exceeded.");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Debug, WritesALineWithDralDebug) {
  setenv("DRAL_DEBUG", "1", 1);
  testing::internal::CaptureStderr();
  plat::OutputDebugString("Max message length exceeded.");
  const std::string out = testing::internal::GetCapturedStderr();
  unsetenv("DRAL_DEBUG");
  EXPECT_EQ(out, "Max message length exceeded.\n");
}

}  // namespace
