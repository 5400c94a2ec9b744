#include "plat/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testsupport/FakeDesktop.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using dral_test::MsSince;
using dral_test::WriteFile;

constexpr uint32_t kStartTimeoutMs = 5000;
constexpr int kFactsTimeoutMs = 20000;
constexpr const char* kDetachedRole = "detached";
constexpr const char* kFactsVar = "DRAL_TEST_FACTS_FILE";
// A descriptor number the starting process holds without close-on-exec.
constexpr int kInheritableFd = 200;

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Keeps PATH, the working directory, GTEST_FILTER and the role as they were.
class ProcessTest : public dral_test::IsolatedTest {
 protected:
  ProcessTest() : cwd_(fs::current_path()) {
    if (const char* p = std::getenv("PATH")) path_ = p;
  }
  ~ProcessTest() override {
    if (path_) {
      setenv("PATH", path_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
    fs::current_path(cwd_);
    if (dral_test::Role().empty()) {
      unsetenv("GTEST_FILTER");
      unsetenv(kFactsVar);
    }
  }

  fs::path Dir(const std::string& name) {
    const fs::path dir = fs::path(env_.TempDir()) / name;
    fs::create_directories(dir);
    return dir;
  }

 private:
  fs::path cwd_;
  std::optional<std::string> path_;
};

// ---- ids ------------------------------------------------------------------------------------

TEST_F(ProcessTest, ExistsOnlyForLiveProcessesAndNeverForIdsThatNameGroups) {
  EXPECT_EQ(plat::CurrentProcessId(), static_cast<uint32_t>(getpid()));
  EXPECT_TRUE(plat::ProcessExists(plat::CurrentProcessId()));
  EXPECT_TRUE(plat::ProcessExists(1)) << "a process that may not be signalled still exists";
  // 0 is this process group, -1 every process, other negatives a group: none is one process.
  EXPECT_FALSE(plat::ProcessExists(0));
  EXPECT_FALSE(plat::ProcessExists(0xFFFFFFFFu));
  EXPECT_FALSE(plat::ProcessExists(0x80000000u));
  EXPECT_FALSE(plat::ProcessExists(static_cast<uint32_t>(-static_cast<int32_t>(getpgrp()))));

  pid_t child = -1;
  char sleepPath[] = "/bin/sleep";
  char seconds[] = "20";
  char* argv[] = {sleepPath, seconds, nullptr};
  ASSERT_EQ(posix_spawn(&child, sleepPath, nullptr, nullptr, argv, nullptr), 0);
  EXPECT_TRUE(plat::ProcessExists(static_cast<uint32_t>(child)));
  kill(child, SIGKILL);
  EXPECT_EQ(dral_test::WaitChild(child, 10000), 128 + SIGKILL);
  EXPECT_FALSE(plat::ProcessExists(static_cast<uint32_t>(child)));
}

// ---- modules --------------------------------------------------------------------------------

TEST_F(ProcessTest, ModulePathNamesTheProgramOrSharedObjectHoldingTheAddress) {
  static const int inProgram = 0;
  EXPECT_TRUE(SameFile(plat::ModulePath(&inProgram), "/proc/self/exe"))
      << plat::ModulePath(&inProgram);
  const void* inLibrary = reinterpret_cast<const void*>(&std::terminate);
  const std::string library = plat::ModulePath(inLibrary);
  EXPECT_NE(fs::path(library).filename().string().find("libstdc++.so"), std::string::npos)
      << library;

  const int onStack = 0;
  const auto onHeap = std::make_unique<int>(0);
  EXPECT_EQ(plat::ModulePath(nullptr), "");
  EXPECT_EQ(plat::ModulePath(&onStack), "");
  EXPECT_EQ(plat::ModulePath(onHeap.get()), "");
}

// ---- PATH -----------------------------------------------------------------------------------

TEST_F(ProcessTest, PathLookupTakesTheFirstExecutableFileInOrder) {
  const fs::path plain = Dir("plain"), folder = Dir("folder"), first = Dir("first"),
                 second = Dir("second"), empty = Dir("empty");
  const auto exec = fs::perms::owner_all;
  WriteFile(plain / "prog", "#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directory(folder / "prog");  // a directory is searchable, not executable
  fs::permissions(folder / "prog", exec);
  WriteFile(first / "prog", "#!/bin/sh\n", exec);
  WriteFile(second / "prog", "#!/bin/sh\n", exec);
  fs::create_symlink(first / "prog", empty / "link");

  EXPECT_FALSE(plat::IsExecutableFile(plain / "prog"));
  EXPECT_FALSE(plat::IsExecutableFile(folder / "prog"));
  EXPECT_TRUE(plat::IsExecutableFile(first / "prog"));
  EXPECT_TRUE(plat::IsExecutableFile(empty / "link"));
  EXPECT_FALSE(plat::IsExecutableFile(empty / "missing"));

  const std::string list = plain.string() + ":" + folder.string() + ":" + empty.string() + ":" +
                           first.string() + ":" + second.string();
  setenv("PATH", list.c_str(), 1);
  EXPECT_EQ(plat::FindProgramOnPath("prog"), (first / "prog").string());
  EXPECT_EQ(plat::FindProgramOnPath("link"), (empty / "link").string());
  EXPECT_EQ(plat::FindProgramOnPath("other"), "");

  // An empty entry, also the first or the last, is the current directory.
  fs::current_path(second);
  setenv("PATH", (":" + plain.string()).c_str(), 1);
  EXPECT_EQ(plat::FindProgramOnPath("prog"), "./prog");
  setenv("PATH", (plain.string() + ":").c_str(), 1);
  EXPECT_EQ(plat::FindProgramOnPath("prog"), "./prog");
  setenv("PATH", plain.string().c_str(), 1);
  EXPECT_EQ(plat::FindProgramOnPath("prog"), "");

  unsetenv("PATH");
  EXPECT_EQ(plat::FindProgramOnPath("prog"), "");
}

TEST_F(ProcessTest, AProgramWithAFolderIsTakenFromHereAndABareNameBesideTheProgramHereOrOnPath) {
  const fs::path here = fs::canonical(Dir("here")), onPath = fs::canonical(Dir("path"));
  const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path();
  // Names of this test's own beside the program, so that runs side by side never meet there.
  const std::string tag = "resolve-" + std::to_string(getpid());
  const std::string everywhere = tag + "-all", hereAndOnPath = tag + "-here", onPathOnly = tag;
  const auto perms = fs::perms::owner_read;  // found all the same: its start tells EACCES
  WriteFile(beside / everywhere, "", perms);
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code ec;
      fs::remove(path, ec);
    }
  } remove{beside / everywhere};
  for (const std::string& name : {everywhere, hereAndOnPath}) WriteFile(here / name, "", perms);
  for (const std::string& name : {everywhere, hereAndOnPath, onPathOnly}) {
    WriteFile(onPath / name, "", perms);
  }
  fs::current_path(here);
  setenv("PATH", onPath.c_str(), 1);
  EXPECT_EQ(plat::ResolveProgramPath(everywhere), (beside / everywhere).string());
  EXPECT_EQ(plat::ResolveProgramPath(hereAndOnPath), (here / hereAndOnPath).string());
  EXPECT_EQ(plat::ResolveProgramPath(onPathOnly), (onPath / onPathOnly).string());
  EXPECT_EQ(plat::ResolveProgramPath(tag + "-nowhere"), "");
  // A folder part: from here, also for a file the start will not find.
  EXPECT_EQ(plat::ResolveProgramPath("tools/" + everywhere), (here / "tools" / everywhere).string());
  EXPECT_EQ(plat::ResolveProgramPath("/opt/tool"), "/opt/tool");
  EXPECT_EQ(plat::ResolveProgramPath(""), "");
}

// ---- detached start -------------------------------------------------------------------------

bool IsNullDevice(int fd) {
  struct stat st {}, null {};
  return fstat(fd, &st) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(st.st_mode) &&
         st.st_rdev == null.st_rdev;
}

// In the started program: what it finds about itself, written at once (by rename) for the
// starter to read.
void ReportFacts() {
  const char* file = std::getenv(kFactsVar);
  ASSERT_NE(file, nullptr);
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  const bool stdioNull = IsNullDevice(0) && IsNullDevice(1) && IsNullDevice(2);
  const bool inherited = fcntl(kInheritableFd, F_GETFD) != -1 || errno != EBADF;
  const std::string tmp = std::string(file) + ".tmp";
  {
    std::ofstream out(tmp);
    out << getpid() << ' ' << getppid() << ' ' << getsid(0) << ' ' << stdioNull << ' '
        << inherited << ' ' << sigismember(&blocked, SIGUSR1) << '\n';
  }
  ASSERT_EQ(rename(tmp.c_str(), file), 0);
}

TEST_F(ProcessTest, StartedProgramLivesOnItsOwnWithNothingOfTheStarter) {
  if (dral_test::Role() == kDetachedRole) return ReportFacts();
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string facts = (fs::path(env_.TempDir()) / "facts").string();
  setenv("GTEST_FILTER", dral_test::CurrentTestFilter().c_str(), 1);
  setenv("DRAL_TEST_ROLE", kDetachedRole, 1);
  setenv(kFactsVar, facts.c_str(), 1);

  // What the program must not get: a descriptor without close-on-exec, a blocked signal.
  const int fd = dup2(STDERR_FILENO, kInheritableFd);
  ASSERT_EQ(fd, kInheritableFd);
  sigset_t usr1, before;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &before);

  int error = -1;
  const bool started = plat::StartDetachedProgram(self, kStartTimeoutMs, &error);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  close(fd);
  unsetenv("DRAL_TEST_ROLE");
  ASSERT_TRUE(started) << "errno " << error;
  EXPECT_EQ(error, 0);
  // Neither the intermediate process nor the program is left as a child of this one.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  const auto start = Clock::now();
  while (!fs::exists(facts) && MsSince(start) < kFactsTimeoutMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::ifstream in(facts);
  long pid = 0, ppid = 0, sid = 0;
  int stdioNull = 0, inherited = 1, usr1Blocked = 1;
  ASSERT_TRUE(in >> pid >> ppid >> sid >> stdioNull >> inherited >> usr1Blocked)
      << "the program did not report within " << kFactsTimeoutMs << " ms";
  EXPECT_NE(pid, getpid());
  EXPECT_NE(ppid, getpid()) << "the program is a child of its starter";
  EXPECT_EQ(sid, pid) << "the program does not lead a session of its own";
  EXPECT_EQ(stdioNull, 1) << "standard input, output or error is not /dev/null";
  EXPECT_EQ(inherited, 0) << "the program got a descriptor of its starter";
  EXPECT_EQ(usr1Blocked, 0) << "the program inherited the starter's blocked signals";
}

TEST_F(ProcessTest, StartReportsWhyAProgramCannotRun) {
  const fs::path dir = Dir("bin");
  WriteFile(dir / "plain", "#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {(dir / "missing").string(), ENOENT},
      {(dir / "plain").string(), EACCES},
      {dir.string(), EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    int error = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(plat::StartDetachedProgram(c.path, kStartTimeoutMs, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_LT(MsSince(start), kStartTimeoutMs / 2.0) << "a failed exec was taken for a time-out";
  }
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "an intermediate process was left unreaped";
}

// ---- running a program and waiting for it ---------------------------------------------------

// A tool that runs until the file "go" appears in its working directory (at most about 30 s),
// then writes its arguments and working directory to "out" there.
constexpr const char* kWaitingTool =
    "#!/bin/sh\n"
    "n=0\n"
    "while [ ! -e go ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\n"
    "printf '%s|%s' \"$*\" \"$(pwd)\" > out.part && mv out.part out\n";

TEST_F(ProcessTest, RunAndWaitReturnsOnlyAfterTheProgramEndedInItsWorkingDirectory) {
  const fs::path dir = Dir("tool");
  WriteFile(dir / "tool", kWaitingTool, fs::perms::owner_all);
  WriteFile(dir / "go", "");
  int error = -1;
  bool ended = false;
  ASSERT_TRUE(plat::RunProgramAndWait({(dir / "tool").string(), "/S"}, dir.string(), 20000, {},
                                      &error, &ended))
      << "errno " << error;
  EXPECT_TRUE(ended);
  // The tool's last step is done when the wait ends.
  EXPECT_EQ(dral_test::ReadFile(dir / "out"), "/S|" + dir.string());
}

TEST_F(ProcessTest, RunAndWaitGivesUpAtItsLimitOrWhenAskedToStop) {
  const fs::path dir = Dir("tool");
  WriteFile(dir / "tool", kWaitingTool, fs::perms::owner_all);
  const std::string tool = (dir / "tool").string();
  int error = -1;
  bool ended = true;
  auto start = Clock::now();
  ASSERT_TRUE(plat::RunProgramAndWait({tool}, dir.string(), 300, {}, &error, &ended));
  EXPECT_FALSE(ended);
  EXPECT_GE(MsSince(start), 290);
  EXPECT_LT(MsSince(start), 10000) << "the wait outlived its limit";

  int asked = 0;
  ended = true;
  start = Clock::now();
  ASSERT_TRUE(plat::RunProgramAndWait({tool}, dir.string(), 60000, [&] { return ++asked > 2; },
                                      &error, &ended));
  EXPECT_FALSE(ended);
  EXPECT_EQ(asked, 3);
  EXPECT_LT(MsSince(start), 10000) << "the stop was not heard";

  EXPECT_FALSE(plat::RunProgramAndWait({(dir / "missing").string()}, "", 1000, {}, &error, &ended));
  EXPECT_EQ(error, ENOENT);
  WriteFile(dir / "go", "");  // the two tools end
}

// ---- desktop opener -------------------------------------------------------------------------

TEST_F(ProcessTest, DesktopOpenerGetsThePathAsOneArgumentNeverAsAnOption) {
  const fs::path dir = Dir("desktop");
  dral_test::FakeDesktopOpener opener(dir.string());
  const std::string odd = (dir / "my file; rm -rf x $(y)").string();
  int error = -1;
  ASSERT_TRUE(plat::OpenFileWithDesktop(odd, &error)) << "errno " << error;
  ASSERT_TRUE(plat::OpenFileWithDesktop("-help.pdf", &error)) << "errno " << error;
  ASSERT_TRUE(plat::OpenFileWithDesktop("help:net.pdf", &error)) << "errno " << error;
  ASSERT_TRUE(opener.WaitForCalls(3));
  using Args = std::vector<std::string>;
  EXPECT_EQ(opener.Calls(), (std::vector<Args>{{"./-help.pdf"}, {"./help:net.pdf"}, {odd}}));

  EXPECT_FALSE(plat::IsExistingFile(dir.string()));  // a folder is no file to open
  EXPECT_FALSE(plat::OpenFileWithDesktop("", &error));
  EXPECT_EQ(error, EINVAL);
  setenv("PATH", Dir("empty").c_str(), 1);
  EXPECT_FALSE(plat::OpenFileWithDesktop(odd, &error));
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
