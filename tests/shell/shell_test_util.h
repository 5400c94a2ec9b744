// Helpers of the server program's tests: event pumping on the main thread, client
// connections as the client library makes them, and a main form whose clock and link state a
// test may steer.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "channel/HuxIPC.h"
#include "classlib/synchronize.h"
#include "shell/MainUnit.h"

// The version information this test program carries (VersionInfo_test.cpp).
#define SHELL_TEST_FILE_VERSION "9.8.7.6"
#define SHELL_TEST_COPYRIGHT "Copyright (C) test build"

namespace shell_test {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

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

// Polls `done` (without pumping events) until it holds or `timeoutMs` passed.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// One client connection: takes a slot in the channel block as DRAL_Connect does.
class TestClient {
 public:
  TestClient() : queue_(std::make_unique<dral::THuxQueue>(true)) {}
  int Slot() const { return queue_->SlotIndex(); }
  bool Put(uint8_t type, std::vector<uint8_t> data) {
    dral::HuxMessage m{};
    m.Type = type;
    m.Length = static_cast<uint16_t>(data.size());
    if (!data.empty()) std::memcpy(m.Data, data.data(), data.size());
    return queue_->Put(&queue_->Slot(Slot())->ToServer, &m);
  }

 private:
  std::unique_ptr<dral::THuxQueue> queue_;
};

// The main form with seams: a test may fix the link state the timer sees, count the searches
// it starts, and step the clock by hand.
class TestForm : public dral::TMainForm {
 public:
  using TMainForm::TMainForm;

  std::optional<uint16_t> ForcedLinkState;
  std::optional<uint32_t> Now;
  int SearchStarts = 0;
  uint32_t Ticks = 0;  // timer ticks run (each reads the link state once)

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
};

}  // namespace shell_test
