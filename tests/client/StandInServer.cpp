// Stands in for the server program in the library's tests: it holds the server's claim and a
// server-mode channel queue, so the single-instance probe finds a server, and ends like the
// real server once the attach count has fallen from non-zero to 0, or after kLifetimeMs at the
// latest. With
// DRAL_TEST_SERVER_PID_FILE set it writes its process id there first.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>

#include "channel/HuxIPC.h"
#include "plat/tick.h"

namespace {
constexpr uint32_t kLifetimeMs = 20000;
constexpr uint32_t kPollMs = 10;
}  // namespace

int main() {
  try {
    std::fprintf(stderr, "stand-in server %d starts\n", static_cast<int>(getpid()));
    const auto instance = dral::TServerLock::Claim();
    if (!instance) return 0;  // a server runs already
    dral::THuxQueue queue(false);
    if (const char* file = std::getenv("DRAL_TEST_SERVER_PID_FILE")) {
      std::ofstream(file) << getpid() << "\n";
    }
    const uint32_t start = plat::GetTickCount();
    bool attached = false;
    while (!plat::TickElapsed(start, kLifetimeMs)) {
      const uint16_t count = queue.Block()->Header.AttachCount.load();
      if (count != 0) attached = true;
      if (attached && count == 0) break;
      plat::Sleep(kPollMs);
    }
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
