// The server program as a process of its own: single instance, auto-close, signals, and the
// first run of both deliverables together (an application loads libDRAL.so, which starts the
// server).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DRAL.h"
#include "channel/HuxIPC.h"
#include "classlib/Registry.h"
#include "client/ServerLaunch.h"
#include "plat/tick.h"
#include "shell_test_util.h"
#include "testsupport/ServerSettings.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

extern char** environ;

namespace {

using namespace shell_test;
namespace fs = std::filesystem;

constexpr int kStartTimeoutMs = 10000;
constexpr int kExitTimeoutMs = 10000;

// Whether process `pid` (not necessarily our child) still runs; a zombie has ended.
bool Alive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  const std::string text = dral_test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'Z';
}

uint32_t RunningServer() {
  uint32_t window = 0;
  return dral::IsServerRunning(window) ? window : 0;
}

class ProgramTest : public dral_test::IsolatedTest {
 protected:
  void SetUp() override { dral_test::SetServerSerialScan(false); }
  void TearDown() override {
    if (!dral_test::Role().empty()) return;  // an application's process leaves the server be
    for (const pid_t pid : children_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    if (const uint32_t stray = RunningServer()) kill(static_cast<pid_t>(stray), SIGKILL);
  }

  // With `errorFile`, the program's stderr goes there and it starts without a desktop session
  // (no XDG_RUNTIME_DIR) and without DRAL_DEBUG.
  pid_t StartServer(const std::string& errorFile = "") {
    std::string program = DRAL_SERVER_PROGRAM;
    char* argv[] = {program.data(), nullptr};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (!errorFile.empty() && (entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
                                 entry.rfind("DRAL_DEBUG=", 0) == 0)) {
        continue;
      }
      env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errorFile.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    children_.push_back(pid);
    return pid;
  }

  // Waits for our child `pid` to end without killing it; its exit status, or -1 on time-out.
  static int Exited(pid_t pid, int timeoutMs) {
    const auto start = Clock::now();
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (MsSince(start) >= timeoutMs) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Named objects of this test's namespace left in /dev/shm.
  std::vector<std::string> LeftObjects() {
    std::vector<std::string> left;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/dev/shm", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(env_.Namespace(), 0) == 0) left.push_back(name);
    }
    return left;
  }

  std::vector<pid_t> children_;
};

TEST_F(ProgramTest, ASecondServerEndsAtOnceAndTheFirstEndsCleanlyOnSigterm) {
  const pid_t first = StartServer();
  ASSERT_TRUE(
      WaitUntil([&] { return RunningServer() == static_cast<uint32_t>(first); }, kStartTimeoutMs));

  const auto start = Clock::now();
  const pid_t second = StartServer();
  EXPECT_EQ(Exited(second, kExitTimeoutMs), 0);
  // At once: it never waits for anything (the start of a Qt program alone takes seconds on a
  // loaded machine); a second server that ran on would not end at all.
  EXPECT_LT(MsSince(start), 8000);
  EXPECT_EQ(Exited(first, 0), -1);  // still running
  EXPECT_EQ(RunningServer(), static_cast<uint32_t>(first));

  ASSERT_EQ(kill(first, SIGTERM), 0);
  EXPECT_EQ(Exited(first, kExitTimeoutMs), 0);
  EXPECT_EQ(RunningServer(), 0u);
  EXPECT_EQ(LeftObjects(), std::vector<std::string>{});
}

TEST_F(ProgramTest, ACleanStartOutsideADesktopSessionPrintsNothingAlsoWithTheTrayIconOn) {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Trevik\\DRAL", true));
  reg.WriteInteger("Visible", 1);
  const std::string errors = env_.TempDir() + "/server-stderr.txt";
  const pid_t server = StartServer(errors);
  ASSERT_TRUE(
      WaitUntil([&] { return RunningServer() == static_cast<uint32_t>(server); }, kStartTimeoutMs));
  ASSERT_EQ(kill(server, SIGTERM), 0);
  EXPECT_EQ(Exited(server, kExitTimeoutMs), 0);
  const std::string text = dral_test::ReadFile(errors);
  EXPECT_EQ(text, "");
}

TEST_F(ProgramTest, AStandardLibraryErrorDuringTheStartIsShownAndEndsTheProgramCleanly) {
  // No thread can be made: each would get a stack as large as the stack limit, which no
  // address space holds. The limit is inherited by the program; this process's own threads
  // keep the stack size they had when it started.
  constexpr rlim_t kHugeStack = rlim_t{1} << 46;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < kHugeStack) {
    GTEST_SKIP() << "the hard stack limit is too low";
  }
  rlimit huge = saved;
  huge.rlim_cur = kHugeStack;
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &huge), 0);
  const std::string errors = env_.TempDir() + "/server-stderr.txt";
  const pid_t server = StartServer(errors);
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &saved), 0);

  EXPECT_EQ(Exited(server, kExitTimeoutMs), 0);  // no abort
  const std::string text = dral_test::ReadFile(errors);
  EXPECT_EQ(text.rfind("DRAL Server: ", 0), 0u) << text;
  EXPECT_EQ(RunningServer(), 0u);
  EXPECT_EQ(LeftObjects(), std::vector<std::string>{});
}

TEST_F(ProgramTest, OfEightServersStartedTogetherExactlyOneStaysUp) {
  constexpr int kServers = 8;
  std::vector<pid_t> started;
  for (int i = 0; i < kServers; ++i) started.push_back(StartServer());
  std::vector<pid_t> running = started;
  const bool settled = WaitUntil(
      [&] {
        std::erase_if(running, [](pid_t pid) { return Exited(pid, 0) == 0; });
        return running.size() <= 1;
      },
      kStartTimeoutMs);
  ASSERT_TRUE(settled) << running.size() << " servers still up";
  ASSERT_EQ(running.size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return RunningServer() == static_cast<uint32_t>(running[0]); },
                        kStartTimeoutMs));
  EXPECT_EQ(Exited(running[0], 0), -1);
  ASSERT_EQ(kill(running[0], SIGTERM), 0);
  EXPECT_EQ(Exited(running[0], kExitTimeoutMs), 0);
  EXPECT_EQ(LeftObjects(), std::vector<std::string>{});
}

TEST_F(ProgramTest, StaysUpUntilAProcessHasComeAndGoneThenEndsAboutThreeSecondsLater) {
  const pid_t server = StartServer();
  ASSERT_TRUE(
      WaitUntil([&] { return RunningServer() == static_cast<uint32_t>(server); }, kStartTimeoutMs));
  // No process has loaded the library yet: well past the delay, it is still there.
  EXPECT_EQ(Exited(server, 3800), -1);

  dral::AdjustAttachCount(+1);  // as a process that loads the library
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // seen by a tick or two
  dral::AdjustAttachCount(-1);
  const auto gone = Clock::now();
  EXPECT_EQ(Exited(server, kExitTimeoutMs), 0);
  const double ms = MsSince(gone);
  // It closes on the first 400 ms tick more than 3000 ms after the last tick that saw the
  // process: 2800-3200 ms after the process went, plus the shutdown.
  EXPECT_GE(ms, 2700) << ms;
  EXPECT_LE(ms, 3700) << ms;
  std::printf("server ended %.0f ms after the last process left\n", ms);
  EXPECT_EQ(LeftObjects(), std::vector<std::string>{});
}

// ---- libDRAL.so and DRALServer together --------------------------------------------------------

constexpr const char* kAppRole = "app";
constexpr int kApplicationLifetimeMs = 1000;
constexpr const char* kLibDirVar = "DRAL_TEST_LIB_DIR";  // tells the application where to look
// Where the application writes the tick count (plat::GetTickCount, one clock for every
// process) at which it unloads the library: its exit may take a while longer on a busy machine.
constexpr const char* kUnloadTickVar = "DRAL_TEST_UNLOAD_TICK";

// The application: loads the library (which starts the server), connects, reads the status,
// disconnects and unloads.
void RunApplication(const std::string& libraryDir) {
  void* lib = dlopen((libraryDir + "/libDRAL.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using Connect = DRAL_Handle (*)();
  using Disconnect = uint32_t (*)(DRAL_Handle);
  using GetStatus = uint32_t (*)(DRAL_Handle);
  const auto connect = reinterpret_cast<Connect>(dlsym(lib, "DRAL_Connect"));
  const auto disconnect = reinterpret_cast<Disconnect>(dlsym(lib, "DRAL_Disconnect"));
  const auto getStatus = reinterpret_cast<GetStatus>(dlsym(lib, "DRAL_GetStatus"));
  ASSERT_TRUE(connect && disconnect && getStatus);
  EXPECT_NE(RunningServer(), 0u);  // the load waited for the server
  const DRAL_Handle handle = connect();
  ASSERT_NE(handle, 0u);
  // No link exists: once the server's first pass has run, it is searching.
  uint32_t status = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        status = getStatus(handle);
        return status == (DRAL_OK | DRAL_LINK_SEARCHING);
      },
      3000))
      << std::hex << status;
  // A real application stays a while; the server counts processes on its 400 ms tick, and one
  // that has come and gone between two ticks is not seen at all.
  std::this_thread::sleep_for(std::chrono::milliseconds(kApplicationLifetimeMs));
  EXPECT_EQ(disconnect(handle), DRAL_OK);
  if (const char* file = std::getenv(kUnloadTickVar)) std::ofstream(file) << plat::GetTickCount();
  dlclose(lib);
}

class LibraryAndServerTest : public ProgramTest {
 protected:
  // The library and the program side by side in a folder of their own, as installed.
  std::string InstallBoth() {
    const std::string dir = env_.TempDir() + "/lib";
    fs::create_directories(dir);
    fs::copy_file(DRAL_LIBRARY_FILE, dir + "/libDRAL.so");
    fs::copy_file(DRAL_SERVER_PROGRAM, dir + "/DRALServer");
    return dir;
  }

  // Runs the application in a process of its own with an empty PATH: only the program beside
  // the library can be found.
  int RunApplicationProcess() {
    const std::string emptyDir = env_.TempDir() + "/empty";
    fs::create_directories(emptyDir);
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", emptyDir.c_str(), 1);
    const pid_t app = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), kAppRole);
    setenv("PATH", saved.c_str(), 1);
    return dral_test::WaitChild(app, 20000);
  }
};

TEST_F(LibraryAndServerTest, AnApplicationStartsTheServerWhichEndsByItselfAndLeavesNothingBehind) {
  if (dral_test::Role() == kAppRole) {
    const char* dir = std::getenv(kLibDirVar);
    ASSERT_NE(dir, nullptr);
    RunApplication(dir);
    return;
  }
  const std::string dir = InstallBoth();
  setenv(kLibDirVar, dir.c_str(), 1);
  const std::string unloadTickFile = env_.TempDir() + "/unload-tick";
  setenv(kUnloadTickVar, unloadTickFile.c_str(), 1);
  ASSERT_EQ(RunningServer(), 0u);
  ASSERT_EQ(RunApplicationProcess(), 0);
  uint32_t unloadTick = 0;
  ASSERT_TRUE(std::ifstream(unloadTickFile) >> unloadTick);
  const uint32_t server = RunningServer();
  ASSERT_NE(server, 0u) << "the server ended with the application";
  ASSERT_TRUE(WaitUntil([&] { return RunningServer() == 0 && !Alive(static_cast<pid_t>(server)); },
                        kExitTimeoutMs));
  const double ms = plat::GetTickCount() - unloadTick;
  // The delay counts from the last 400 ms tick that saw the process: 2600..3400 ms after it
  // left, plus the program's shutdown.
  EXPECT_GE(ms, 2600) << ms;
  EXPECT_LE(ms, 3800) << ms;
  EXPECT_EQ(LeftObjects(), std::vector<std::string>{});

  // The next run finds a clean slate and starts a new server.
  ASSERT_EQ(RunApplicationProcess(), 0);
  const uint32_t next = RunningServer();
  ASSERT_NE(next, 0u);
  EXPECT_NE(next, server);
  ASSERT_EQ(kill(static_cast<pid_t>(next), SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return RunningServer() == 0 && !Alive(static_cast<pid_t>(next)); },
                        kExitTimeoutMs));
  unsetenv(kLibDirVar);
  unsetenv(kUnloadTickVar);
}

}  // namespace
