#include "plat/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "termination_signal_set.h"

namespace plat {
namespace {

constexpr size_t kDrainChunk = 16;

// Write end of the pipe; -1 while no object listens. Owned by the one object (closed by its
// destructor after the handler is gone).
std::atomic<int> gSignalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

void OnTerminationSignal(int signal) {
  const int saved = errno;
  const int fd = gSignalPipe.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

std::unique_ptr<TerminationSignals> TerminationSignals::Open(int* error) {
  UniqueFd readEnd;
  UniqueFd writeEnd;
  if (!MakePipe(&readEnd, &writeEnd, O_NONBLOCK, error)) return nullptr;
  int none = -1;
  if (!gSignalPipe.compare_exchange_strong(none, writeEnd.Get())) {
    *error = EBUSY;
    return nullptr;
  }
  writeEnd.Release();  // now gSignalPipe's, closed by the destructor
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int s : kTerminationSignals) sigaction(s, &action, nullptr);
  return std::unique_ptr<TerminationSignals>(new TerminationSignals(std::move(readEnd)));
}

TerminationSignals::TerminationSignals(UniqueFd readEnd) : readEnd_(std::move(readEnd)) {}

TerminationSignals::~TerminationSignals() {
  for (const int s : kTerminationSignals) ::signal(s, SIG_DFL);
  UniqueFd writeEnd(gSignalPipe.exchange(-1));
}

bool TerminationSignals::Drain() {
  bool any = false;
  char bytes[kDrainChunk];
  ssize_t n;
  while ((n = read(readEnd_.Get(), bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) any = true;
  }
  return any;
}

}  // namespace plat
