// Runs Debian's vttest, the standard VT100 test program, against the terminal: vttest runs on
// one pseudo-terminal, the terminal's port on another, and the test relays the bytes between
// their far ends. It walks the menus whose sequences the terminal's escape table covers
// (cursor movements, screen features, terminal reports), waits for each screen's prompt in
// the received data, and keeps a screenshot and the screen's text per screen under
// <build>/tests/comport/vttest/. Skipped where vttest is not installed.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "TerminalTestUtil.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

using comport_test::TestTerminal;
using dral_test::PtyPair;

constexpr char kVttest[] = "/usr/bin/vttest";
constexpr int kScreenTimeoutMs = 8000;
constexpr int kMaxScreens = 24;
const std::string kOutDir = std::string(DRAL_SCREENSHOT_DIR) + "/../vttest";

class DispatchingPort : public TComPort {
 public:
  using TCustomComPort::CallRxChar;
};

class VttestRun {
 public:
  VttestRun() {
    port_.SetPort(terminalSide_.SlavePath());
    port_.SetEvents({});
    port_.Open();
    terminal_.SetComPort(&port_);
    terminal_.OnStrRecieved = TCustomComTerminal::TStrRecvEvent::Of<&VttestRun::OnReceived>(this);
    terminal_.OnUnhandledCode = TCustomComTerminal::TUnhandledEvent::Of<&VttestRun::OnUnhandled>(this);
    terminal_.show();
    QDir().mkpath(QString::fromStdString(kOutDir));
    Start();
  }
  ~VttestRun() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      dral_test::WaitChild(child_, 5000);
    }
    terminal_.SetComPort(nullptr);
  }

  // Types `keys` into the terminal (as the user would) and waits until vttest's output since
  // then ends in a prompt; saves the screen as <name>.png and <name>.txt. False on a time-out
  // (the screen is saved all the same).
  bool Step(const std::string& keys, const std::string& name) {
    received_.clear();
    unhandled_ = " ";
    for (char k : keys) terminal_.SendChar(k);
    const bool prompted = Serve([&] { return Prompted(); }, kScreenTimeoutMs);
    Save(name);
    return prompted;
  }
  bool WaitFirstMenu() {
    const bool ok = Serve([&] { return Prompted(); }, kScreenTimeoutMs);
    Save("00-menu");
    return ok;
  }
  // Runs the screens of main-menu item `item` until the main menu is back; returns how many.
  int Menu(char item, const std::string& prefix) {
    for (int i = 1; i <= kMaxScreens; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "%s-%02d", prefix.c_str(), i);
      EXPECT_TRUE(Step(i == 1 ? std::string{item, '\r'} : "\r", name)) << Screen();
      if (AtMainMenu()) return i - 1;
    }
    return kMaxScreens;
  }
  bool AtMainMenu() const { return received_.find("Enter choice number (0 - 12): ") != std::string::npos; }
  std::string Screen() const {
    std::string s;
    for (int32_t y = 1; y <= terminal_.Buffer().Rows(); ++y) s += terminal_.Row(y) + "\n";
    return s;
  }
  const std::string& Received() const { return received_; }

 private:
  void OnReceived(TCustomComTerminal*, std::string& str) { received_ += str; }
  // The sequences the terminal did not perform, each once, ESC written as "ESC".
  void OnUnhandled(TCustomComTerminal*, TEscapeCode, const std::string& data) {
    const std::string seq = "ESC" + data;
    if (unhandled_.find(" " + seq + " ") == std::string::npos) unhandled_ += seq + " ";
  }

  void Start() {
    // vttest gets the other pseudo-terminal as its controlling terminal and standard streams.
    const std::string slave = vttestSide_.SlavePath();
    char term[] = "TERM=vt100";
    char* env[] = {term, nullptr};
    char prog[] = "vttest";
    char* argv[] = {prog, nullptr};
    child_ = fork();
    if (child_ == 0) {
      setsid();
      const int fd = open(slave.c_str(), O_RDWR);
      if (fd < 0) _exit(127);
      dup2(fd, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      execve(kVttest, argv, env);
      _exit(127);
    }
    ASSERT_GT(child_, 0);
  }

  // Relays between the far ends and hands received data to the terminal while waiting.
  bool Serve(const std::function<bool()>& done, int timeoutMs) {
    return comport_test::WaitServing(
        [&] {
          const std::string toTerminal = vttestSide_.Read(1 << 16, 0);
          if (!toTerminal.empty()) terminalSide_.Write(toTerminal);
          const std::string toVttest = terminalSide_.Read(1 << 16, 0);
          if (!toVttest.empty()) vttestSide_.Write(toVttest);
          if (port_.InputCount() > 0) port_.CallRxChar();
          return done();
        },
        timeoutMs);
  }

  // vttest's prompt is the last thing it writes before it reads.
  bool Prompted() const {
    std::string text;  // received since the last key, without ESC [ ... sequences
    for (size_t i = 0; i < received_.size(); ++i) {
      if (received_[i] != '\033') {
        text += received_[i];
        continue;
      }
      if (i + 1 < received_.size() && received_[i + 1] == '[') {
        ++i;
        while (i + 1 < received_.size() && received_[i + 1] >= 0x20 && received_[i + 1] <= 0x3F) ++i;
      }
      ++i;  // the final character
    }
    return text.ends_with("Push <RETURN>") || text.ends_with("Push the RETURN key: ") ||
           (text.ends_with("): ") && text.find("Enter choice number (0 - ") != std::string::npos);
  }

  void Save(const std::string& name) {
    terminal_.resize(terminal_.sizeHint());
    QApplication::processEvents();
    comport_test::Shoot(terminal_, QString::fromStdString("../vttest/" + name + ".png"));
    std::ofstream(kOutDir + "/" + name + ".txt") << Screen() << "-- not performed: " << unhandled_ << "\n";
  }

  PtyPair terminalSide_;
  PtyPair vttestSide_;
  DispatchingPort port_;
  TestTerminal terminal_;
  std::string received_;
  std::string unhandled_ = " ";
  pid_t child_ = -1;
};

TEST(Vttest, ScreensOfTheEscapeTableRunToTheirPrompts) {
  if (access(kVttest, X_OK) != 0) GTEST_SKIP() << "vttest is not installed";
  dral_test::Watchdog watchdog(110);
  VttestRun run;
  ASSERT_TRUE(run.WaitFirstMenu()) << run.Screen();
  EXPECT_NE(run.Screen().find("Test of cursor movements"), std::string::npos);

  // 1: cursor movements (six screens), 2: screen features (fifteen), each back to the menu.
  EXPECT_EQ(run.Menu('1', "1-cursor"), 6);
  EXPECT_EQ(run.Menu('2', "2-screen"), 15);

  // 6: terminal reports: device status (3), primary attributes (4), parameters (7).
  EXPECT_TRUE(run.Step("6\r", "6-reports-menu"));
  EXPECT_TRUE(run.Step("3\r", "6-reports-3-dsr"));
  EXPECT_NE(run.Screen().find("<27> [ 0 n  -- means \"TERMINAL OK\""), std::string::npos) << run.Screen();
  EXPECT_NE(run.Screen().find("<27> [ 5 ; 1 R  -- OK"), std::string::npos) << run.Screen();
  EXPECT_TRUE(run.Step("\r", "6-reports-menu-2"));
  EXPECT_TRUE(run.Step("4\r", "6-reports-4-da"));
  EXPECT_TRUE(run.Step("\r", "6-reports-menu-3"));
  run.Step("7\r", "6-reports-7-decreqtparm");
  run.Step("\r", "6-reports-menu-4");
  EXPECT_TRUE(run.Step("0\r", "6-reports-end"));
  run.Step("0\r", "99-exit");
}

}  // namespace
}  // namespace comport
