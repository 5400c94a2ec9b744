// The harness of the tests that load libDRAL.so: each test runs its application side in a child
// process of its own (this binary run again in a role), which loads a copy of the real shared
// object with dlopen, so that load and unload run afresh and several processes can meet.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DRAL.h"
#include "testsupport/DralApp.h"
#include "testsupport/Roles.h"
#include "testsupport/ServerSettings.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace client_test {

namespace fs = std::filesystem;

constexpr int kChildTimeoutMs = 25000;
constexpr int kMarkerTimeoutMs = 15000;
constexpr const char* kChild = "child";

using Api = dral_test::DralApi;

class LibraryTest : public dral_test::MultiProcessTest {
 protected:
  void SetUp() override {
    if (!dral_test::Role().empty()) return;
    dral_test::SetServerSerialScan(false);
    fs::create_directories(LibDir());
    fs::create_directories(BinDir());
    fs::copy_file(DRAL_LIBRARY_FILE, LibDir() + "/libDRAL.so");
  }

  std::string LibDir() const { return Root() + "/lib"; }
  std::string BinDir() const { return Root() + "/bin"; }

  void InstallProgram(const std::string& dir, const std::string& source) {
    fs::copy_file(source, dir + "/DRALServer", fs::copy_options::overwrite_existing);
  }
  void InstallScript(const std::string& dir, const std::string& body) {
    dral_test::WriteFile(dir + "/DRALServer", "#!/bin/sh\n" + body + "\n", fs::perms(0755));
  }

  // Child side: PATH names only `pathDir` (the test's bin directory by default), then the
  // library is loaded.
  Api Load(const std::string& pathDir = "") {
    setenv("PATH", (pathDir.empty() ? BinDir() : pathDir).c_str(), 1);
    Api api;
    std::string error;
    if (!api.Load(LibDir() + "/libDRAL.so", &error)) ADD_FAILURE() << error;
    return api;
  }

  void Unload(Api& api) { EXPECT_EQ(api.Unload(), 0); }

  void RunChild(const std::string& role = kChild) {
    const pid_t pid = Spawn(role);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(dral_test::WaitChild(pid, kChildTimeoutMs), 0) << "child " << role;
  }

  // Ends a server stand-in that wrote its pid (it also ends by itself).
  void KillStandIn() {
    std::ifstream in(Marker("server.pid"));
    pid_t pid = 0;
    if (in >> pid && pid > 0) kill(pid, SIGKILL);
  }
};

}  // namespace client_test
