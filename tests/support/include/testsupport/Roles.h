// Tests that run in several processes: the test process starts this binary again in named roles
// (SpawnSelf), each role is a function of its own, and the processes pace each other with
// marker files in the directory they share.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "testsupport/test_env.h"

namespace dral_test {

// A role: the name it is started under and what a process in that role runs.
struct RoleFunction {
  std::string Name;
  std::function<void()> Run;
};

// In a process started in a role: runs that role's function and returns true, so the test body
// ends there (a role not among `roles` is a failure). In the test process: false.
bool RunRole(const std::vector<RoleFunction>& roles);

// Fixture base of multi-process tests: markers in the test's own directory, which the test
// process and its children share, and children that run the current test in a role.
class MultiProcessTest : public IsolatedTest {
 protected:
  // The test's temporary directory (the same in the test process and its children).
  std::string Root() const;
  std::string Marker(const std::string& name) const { return Root() + "/" + name; }
  // Leaves marker `name`, and waits up to `timeoutMs` for one another process leaves.
  void Mark(const std::string& name) const;
  bool AwaitMark(const std::string& name, int timeoutMs) const;
  // Starts this test again in a child process in `role`; its pid.
  pid_t Spawn(const std::string& role) const;
};

}  // namespace dral_test
