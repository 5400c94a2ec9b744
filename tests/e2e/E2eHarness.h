// The harness of the end-to-end tests: every part runs as the real program in a process of its
// own. The test process starts the adapter simulator program (a simulated USB device it steers
// through the program's command input) and the application processes (this binary again, in a
// role, loading libDRAL.so with dlopen); the first application's library starts DRALServer.
//
// The test process makes itself a child subreaper, so the server, which the library starts as a
// process of its own, becomes its child: the test can wait for the server to end and kills it,
// with everything else it started, when a test fails or hangs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DRAL.h"
#include "links/ScanSettings.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/DralApp.h"
#include "testsupport/Roles.h"
#include "testsupport/ServerSettings.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace dral_test;  // the application side, waits and roles of the test support

// Bounds of the steps of a system test.
inline constexpr int kLinkUpMs = 20000;      // library load, server start and link up
inline constexpr int kStepMs = 10000;        // one step of the other side
inline constexpr int kMessageMs = 5000;      // one message on its way
inline constexpr int kServerExitMs = 10000;  // the server ends about 3 s after the last unload

// Message types of the adapter's frames, as the simulator program counts them.
inline constexpr uint8_t kCanFrame = 0x20;
inline constexpr uint8_t kJ1939Frame = 0x30;
inline constexpr uint8_t kJ1708Frame = 0x40;

inline std::string HexOf(const Bytes& b) {
  std::string out;
  char h[3];
  for (uint8_t v : b) {
    std::snprintf(h, sizeof h, "%02X", v);
    out += h;
  }
  return out;
}

inline Bytes BytesOf(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// ---- processes --------------------------------------------------------------------------------

// The processes whose parent is this process (with the subreaper flag: also orphans of them).
inline std::vector<pid_t> ChildProcesses() {
  std::vector<pid_t> out;
  const pid_t self = getpid();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == self) out.push_back(std::stoi(name));
  }
  return out;
}

inline std::string ProcessName(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Waits up to `timeoutMs` for the child `pid` to end and reaps it. Its exit status (0..255),
// 128 + signal, or -1 when it is still running (it is left running).
inline int WaitExit(pid_t pid, int timeoutMs) {
  int result = -1;
  WaitUntil(
      [&] {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
          result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        }
        return r < 0;  // not a child (any more)
      },
      timeoutMs);
  return result;
}

// Kills every child process with SIGKILL and reaps them (bounded). Returns their names.
inline std::vector<std::string> KillChildren() {
  std::vector<std::string> killed;
  for (int round = 0; round < 3; ++round) {
    const auto children = ChildProcesses();
    if (children.empty()) break;
    for (pid_t pid : children) {
      killed.push_back(ProcessName(pid) + "(" + std::to_string(pid) + ")");
      kill(pid, SIGKILL);
    }
    for (pid_t pid : children) WaitExit(pid, 5000);
  }
  return killed;
}

// Kills every child process when the test is still running after `seconds`, then aborts: a
// hang fails the test and leaves no process behind (the fixture's own watchdog would only
// abort).
class Reaper {
 public:
  explicit Reaper(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) return;
          std::fprintf(stderr, "e2e: test still running after %d s; killing its processes\n",
                       seconds);
          for (const auto& name : KillChildren())
            std::fprintf(stderr, "  killed %s\n", name.c_str());
          std::abort();
        }) {}
  ~Reaper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;

 private:
  std::mutex mutex_;  // guards done_
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// ---- the adapter simulator program ------------------------------------------------------------

// dral_adapter_sim_device run with --control: commands go to its standard input, its answers
// come from its standard output. Every read is bounded.
class SimDeviceProgram {
 public:
  SimDeviceProgram() = default;
  ~SimDeviceProgram() { Stop(2000); }
  SimDeviceProgram(const SimDeviceProgram&) = delete;
  SimDeviceProgram& operator=(const SimDeviceProgram&) = delete;

  // Starts the program with `args` (and --control --exit-with-parent) and waits for its
  // "ready <path>" line. False with the reason in `error`.
  bool Start(const std::string& program, std::vector<std::string> args, std::string& error) {
    args.insert(args.begin(), program);
    args.push_back("--control");
    args.push_back("--exit-with-parent");
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return error = "pipe", false;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return error = "pipe", false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      return error = "cannot start " + program + ": " + std::to_string(rc), false;
    }
    std::string line;
    if (!ReadLine(line, kStartTimeoutMs) || line.rfind("ready ", 0) != 0) {
      return error = "no ready line, got \"" + line + "\"", false;
    }
    entry_ = line.substr(6);
    return true;
  }

  pid_t Pid() const { return pid_; }
  const std::string& Entry() const { return entry_; }

  // Sends one command and returns its answer line ("ok ..." / "error ..."); "" on time-out.
  std::string Command(const std::string& command, int timeoutMs = kCommandTimeoutMs) {
    const std::string line = command + "\n";
    if (in_ < 0 || write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      return "";
    }
    std::string answer;
    while (ReadLine(answer, timeoutMs)) {
      if (answer.rfind("ok", 0) == 0 || answer.rfind("error", 0) == 0) return answer;
    }
    return "";
  }

  // Waits (in the program) up to `timeoutMs` until `count` messages of `type` arrived from
  // the host.
  bool WaitFor(uint8_t type, int count, int timeoutMs) {
    char command[64];
    std::snprintf(command, sizeof command, "wait %02X %d %d", type, count, timeoutMs);
    return Command(command, timeoutMs + kCommandTimeoutMs).rfind("ok", 0) == 0;
  }

  // The data of every message of `type` the host sent (since the last "clear").
  std::vector<Bytes> Messages(uint8_t type) {
    char command[32];
    std::snprintf(command, sizeof command, "messages %02X", type);
    const std::string answer = Command(command);
    std::vector<Bytes> out;
    if (answer.rfind("ok ", 0) != 0) return out;
    const int n = std::stoi(answer.substr(3));
    std::string line;
    for (int i = 0; i < n && ReadLine(line, kCommandTimeoutMs); ++i) {
      // "msg TT DATA"
      out.push_back(line.size() > 7 ? BytesOf(line.substr(7)) : Bytes{});
    }
    return out;
  }

  // Ends the program by closing its input; its exit status, or -1 when it had to be killed.
  int Stop(int timeoutMs) {
    if (in_ >= 0) close(in_);
    in_ = -1;
    int result = -1;
    if (pid_ > 0) {
      result = WaitExit(pid_, timeoutMs);
      if (result < 0) {
        kill(pid_, SIGKILL);
        WaitExit(pid_, timeoutMs);
      }
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
    return result;
  }

 private:
  static constexpr int kStartTimeoutMs = 5000;
  static constexpr int kCommandTimeoutMs = 5000;

  bool ReadLine(std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || out_ < 0) return false;
      pollfd p{out_, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string entry_;
};

// Base of the system tests: the server that an application's library starts (it becomes a
// child of the test process), the simulated adapter program, and a reaper that ends every
// process the test started, before the fixture's watchdog.
class SystemFixture : public MultiProcessTest {
 protected:
  static constexpr int kReaperSeconds = 27;  // before the fixture's 30 s watchdog
  static constexpr int kApplicationStepMs = 10000;  // one step of an application

  void SetUp() override {
#ifndef DRAL_SERVER_PROGRAM
    GTEST_SKIP() << "DRALServer is not built in this configuration (it needs Qt, which the "
                    "ThreadSanitizer build leaves out)";
#else
    if (!dral_test::Role().empty()) {
      // An application never outlives the test process.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      return;
    }
    // The server, started by an application's library as a process of its own, becomes a
    // child of this process: the test can wait for it and never leaves it behind.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    reaper_ = std::make_unique<Reaper>(kReaperSeconds);
    // The library looks for the server beside itself first.
    fs::create_directories(LibDir());
    fs::create_symlink(DRAL_LIBRARY_FILE, LibDir() + "/libDRAL.so");
    fs::create_symlink(DRAL_SERVER_PROGRAM, LibDir() + "/DRALServer");
    // The server's serial scan would probe the machine's own serial ports; a test that wants
    // the serial link turns it on again.
    SetSerialLinkEnabled(false);
#endif
  }

  // The server's SerialPortDisabled setting in this test's registry.
  static void SetSerialLinkEnabled(bool enabled) { dral_test::SetServerSerialScan(enabled); }

  void TearDown() override {
    if (!dral_test::Role().empty()) return;
    reaper_.reset();
    adapter_.Stop(2000);
    const auto leftovers = KillChildren();
    // A passing test has ended every process itself.
    if (!HasFailure() && !IsSkipped()) {
      EXPECT_TRUE(leftovers.empty()) << "left running: " << leftovers.front();
    }
  }

  std::string LibDir() const { return Root() + "/lib"; }

  // The server program among this process's children (see SetUp).
  pid_t FindServer() const {
    for (pid_t pid : ChildProcesses()) {
      if (ProcessName(pid) == "DRALServer") return pid;
    }
    return -1;
  }

  // --- application side: the library ---

  // Loads the library (which starts the server when none runs); an empty value on failure.
  Api Load() {
    Api api;
    std::string error;
    EXPECT_TRUE(api.Load(LibDir() + "/libDRAL.so", &error)) << error;
    return api;
  }
  void Unload(Api& api) { EXPECT_EQ(api.Unload(), 0); }

  // An application's first step: loads the library, connects and waits up to `linkUpMs` for
  // the link. Fails the test (fatally) when one of them does not come.
  void OpenConnection(Api& api, DRAL_Handle& h, int linkUpMs) {
    api = Load();
    ASSERT_NE(api.module, nullptr);
    h = api.Connect();
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_CONNECTED, linkUpMs))
        << std::hex << api.GetStatus(h);
  }

  // --- one exchange both ways: CAN, J1939 and J1708 from the adapter, then from the application
  // (the data hold 0x7E and 0x7D, which a frame carries escaped) ---

  // The application's side: connects, waits for the adapter's version, passes everything, marks
  // "app-ready"; after "adapter-sent" expects the adapter's three messages, sends its own and
  // marks "app-sent"; disconnects after "finish".
  void ExchangeBothWaysApplication(const Bytes& version) {
    Api api;
    DRAL_Handle h = 0;
    ASSERT_NO_FATAL_FAILURE(OpenConnection(api, h, kLinkUpMs));
    ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs)) << "channel 1 not available";
    EXPECT_EQ(AwaitAdapterVersion(api, h, version, kMessageMs), version);
    for (uint8_t protocol : {DRAL_PROTOCOL_CAN1, DRAL_PROTOCOL_J1939_CAN1, DRAL_PROTOCOL_J1708}) {
      ASSERT_EQ(Filter(api, h, PassAll(protocol)), DRAL_OK);
    }
    Mark("app-ready");
    ASSERT_TRUE(AwaitMark("adapter-sent", kStepMs));
    EXPECT_EQ(NextMessages(api, h, 3, kMessageMs),
              (std::vector<Bytes>{CanMessage(0x18FEF200, {1, 0x7E}),
                                  J1939Message(0xFEF1, 0x00, 6, {0xAA, 0x7D, 0xCC, 0xDD}),
                                  J1708Received({0x80, 0x54, 0x07})}));
    EXPECT_EQ(Put(api, h, CanMessage(0x0CF00400, {0xA1, 0x7E})), DRAL_OK);
    EXPECT_EQ(Put(api, h, J1939Message(0xFEF1, 0x21, 6, {1, 2, 3, 4, 5, 6, 7, 8})), DRAL_OK);
    EXPECT_EQ(Put(api, h, Bytes{DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x55}), DRAL_OK);
    Mark("app-sent");
    ASSERT_TRUE(AwaitMark("finish", kStepMs));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
  }

  // The test process's side, once the application is ready: the adapter sends, then checks what
  // it received of the application's.
  void ExchangeBothWaysAdapter() {
    for (const char* command :
         {"can 11 18FEF200 017E", "j1939 01 18FEF100 AA7DCCDD", "j1708 805407"}) {
      ASSERT_EQ(adapter_.Command(command), "ok") << command;
    }
    Mark("adapter-sent");
    ASSERT_TRUE(AwaitApplication("app-sent"));
    ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
    ASSERT_TRUE(adapter_.WaitFor(kJ1939Frame, 1, kMessageMs));
    ASSERT_TRUE(adapter_.WaitFor(kJ1708Frame, 1, kMessageMs));
    EXPECT_EQ(adapter_.Messages(kCanFrame),
              (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0x7E}}));
    EXPECT_EQ(adapter_.Messages(kJ1939Frame),
              (std::vector<Bytes>{{0x01, 0x21, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8}}));
    EXPECT_EQ(adapter_.Messages(kJ1708Frame),
              (std::vector<Bytes>{
                  {0x00, 0x00, 0x04, 0xAC, 0x00, 0x55, J1708Checksum({0xAC, 0x00, 0x55})}}));
  }

  // --- application processes (this test binary re-run in a role) ---

  void StartApplication(const std::string& role) {
    const pid_t pid = Spawn(role);
    ASSERT_GT(pid, 0);
    apps_[role] = pid;
  }

  // Waits for an application's marker; fails at once when an application ended before it.
  bool AwaitApplication(const std::string& marker, int timeoutMs = kApplicationStepMs) {
    std::string ended;
    const bool ok = WaitUntil(
        [&] {
          if (fs::exists(Marker(marker))) return true;
          for (auto& [role, pid] : apps_) {
            if (pid <= 0 || exits_.count(role)) continue;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
              exits_[role] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
              ended = role;
              return true;
            }
          }
          return false;
        },
        timeoutMs);
    if (!ended.empty()) {
      ADD_FAILURE() << "application " << ended << " ended (" << exits_[ended] << ") before \""
                    << marker << "\"";
      return false;
    }
    if (!ok) ADD_FAILURE() << "no \"" << marker << "\" within " << timeoutMs << " ms";
    return ok;
  }

  int ApplicationExit(const std::string& role) {
    if (exits_.count(role)) return exits_[role];
    return exits_[role] = WaitExit(apps_[role], kApplicationStepMs);
  }

  SimDeviceProgram adapter_;
  std::unique_ptr<Reaper> reaper_;
  std::map<std::string, pid_t> apps_;  // role -> pid
  std::map<std::string, int> exits_;   // role -> exit status, once reaped
};

}  // namespace e2e

