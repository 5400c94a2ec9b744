#include "testsupport/Roles.h"

#include <filesystem>

#include "testsupport/test_util.h"

namespace dral_test {

bool RunRole(const std::vector<RoleFunction>& roles) {
  const std::string role = Role();
  if (role.empty()) return false;
  for (const RoleFunction& r : roles) {
    if (r.Name == role) {
      r.Run();
      return true;
    }
  }
  ADD_FAILURE() << "this test has no role \"" << role << "\"";
  return true;
}

std::string MultiProcessTest::Root() const {
  return std::filesystem::path(env_.RegistryDir()).parent_path().string();
}

void MultiProcessTest::Mark(const std::string& name) const { Touch(Marker(name)); }

bool MultiProcessTest::AwaitMark(const std::string& name, int timeoutMs) const {
  return WaitUntil([&] { return Exists(Marker(name)); }, timeoutMs);
}

pid_t MultiProcessTest::Spawn(const std::string& role) const {
  return SpawnSelf(CurrentTestFilter(), role);
}

}  // namespace dral_test
