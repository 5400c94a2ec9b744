// A stand-in for the desktop's file opener: an "xdg-open" placed first on PATH that records the
// arguments of each call instead of opening anything.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "testsupport/test_util.h"

namespace dral_test {

class FakeDesktopOpener {
 public:
  // Writes the opener into `dir` (created when missing) and puts `dir` first on PATH.
  explicit FakeDesktopOpener(const std::string& dir);
  // Restores PATH.
  ~FakeDesktopOpener();
  FakeDesktopOpener(const FakeDesktopOpener&) = delete;
  FakeDesktopOpener& operator=(const FakeDesktopOpener&) = delete;

  // The argument lists of the calls that have finished recording, sorted (calls run on their
  // own, so their order is not known).
  std::vector<std::vector<std::string>> Calls() const;
  // Waits up to `timeoutMs` until at least `count` calls are recorded.
  bool WaitForCalls(size_t count, int timeoutMs = kDefaultWaitMs) const;

 private:
  std::string callDir_;
  std::optional<std::string> path_;  // PATH before
};

}  // namespace dral_test
