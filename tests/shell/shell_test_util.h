// Helpers of the server program's tests: event pumping on the main thread and a main form whose
// clock and link state a test may steer (client connections and waits: the test support).
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <new>
#include <optional>
#include <thread>

#include "channel/HuxIPC.h"
#include "classlib/synchronize.h"
#include "shell/MainUnit.h"
#include "testsupport/TestClient.h"
#include "testsupport/test_util.h"

// The version information this test program carries (VersionInfo_test.cpp).
#define SHELL_TEST_FILE_VERSION "9.8.7.6"
#define SHELL_TEST_COPYRIGHT "Copyright (C) test build"

namespace shell_test {

using Clock = std::chrono::steady_clock;

using dral_test::MsSince;
using dral_test::TestClient;
using dral_test::WaitUntil;

// Runs the main thread's events (and the Synchronize queue) until `done` or `timeoutMs`.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) >= timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    cls::CheckSynchronize();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The main form with seams: a test may fix the link state the timer sees, count the searches
// it starts, and step the clock by hand.
class TestForm : public dral::TMainForm {
 public:
  using TMainForm::TMainForm;

  std::optional<uint16_t> ForcedLinkState;
  std::optional<uint32_t> Now;
  int SearchStarts = 0;
  uint32_t Ticks = 0;  // timer ticks run (each reads the link state once)
  // Set: the settings dialog fails to open, as when memory runs out.
  bool SettingsFail = false;
  // Runs as a registration starts watching its device.
  std::function<void()> OnWatchDevice;

 protected:
  uint16_t LinkState() override {
    ++Ticks;
    return ForcedLinkState ? *ForcedLinkState : TMainForm::LinkState();
  }
  void StartSearch() override {
    ++SearchStarts;
    TMainForm::StartSearch();
  }
  uint32_t TickCount() override { return Now ? *Now : TMainForm::TickCount(); }
  plat::DeviceNotifyHandle WatchDevice(plat::DeviceHandle device, uint32_t* error) override {
    if (OnWatchDevice) OnWatchDevice();
    return TMainForm::WatchDevice(device, error);
  }
  void ShowSettings() override {
    if (SettingsFail) throw std::bad_alloc();
    TMainForm::ShowSettings();
  }
};

}  // namespace shell_test
