// Helpers of the platform tests: markers in the test's own directory that a parent and a child
// process use to pace each other, bounded polling, and a signal that only interrupts.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace plat_test {

// A file under the test's DRAL_REGISTRY_DIR, which parent and child share.
inline std::string Marker(const std::string& name) {
  const char* dir = std::getenv("DRAL_REGISTRY_DIR");
  return std::string(dir ? dir : "/tmp") + "/" + name;
}

inline void Touch(const std::string& path) { std::ofstream(path) << "x"; }

inline bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// Polls `condition` every millisecond until it holds or `timeoutMs` passed.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// SIGUSR1 with a handler that does nothing and without SA_RESTART: sending it to a thread makes
// its blocking call return EINTR.
inline void InstallInterruptSignal() {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGUSR1, &sa, nullptr);
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace plat_test
