// Helpers of the platform tests: markers in the test's own directory that a parent and a child
// process use to pace each other, and a signal that only interrupts.
#pragma once

#include <signal.h>

#include <cstdlib>
#include <string>

#include "testsupport/test_util.h"

namespace plat_test {

// A file under the test's DRAL_REGISTRY_DIR, which parent and child share.
inline std::string Marker(const std::string& name) {
  const char* dir = std::getenv("DRAL_REGISTRY_DIR");
  return std::string(dir ? dir : "/tmp") + "/" + name;
}

using dral_test::Exists;
using dral_test::MsSince;
using dral_test::Touch;
using dral_test::WaitUntil;

// SIGUSR1 with a handler that does nothing and without SA_RESTART: sending it to a thread makes
// its blocking call return EINTR.
inline void InstallInterruptSignal() {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGUSR1, &sa, nullptr);
}

}  // namespace plat_test
