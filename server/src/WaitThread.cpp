#include "server/WaitThread.h"

#include <algorithm>

#include "plat/tick.h"

namespace dral {

TWaitThread::TWaitThread(bool createSuspended, plat::Event* event, uint32_t roundTimeoutMs)
    : cls::TThread(true), event_(event), roundTimeoutMs_(roundTimeoutMs) {
  if (!createSuspended) Start();
}

TWaitThread::~TWaitThread() {
  // Stop here, not in the base destructor: Execute must not run on a half-destroyed object.
  Terminate();
  if (Started()) WaitFor();
}

void TWaitThread::RetryWithin(uint32_t ms) {
  uint32_t asked = retryWithinMs_.load(std::memory_order_relaxed);
  while (ms < asked &&
         !retryWithinMs_.compare_exchange_weak(asked, ms, std::memory_order_relaxed)) {
  }
}

void TWaitThread::Execute() {
  while (!Terminated() && event_ != nullptr) {
    const uint32_t seen = event_->Generation();
    if (RoundHandler.IsSet()) RoundHandler();
    if (Terminated()) break;
    const uint32_t timeoutMs =
        std::min(retryWithinMs_.exchange(kNoRetry, std::memory_order_relaxed), roundTimeoutMs_);
    // Signalled and timed out alike run the next round; a wait that fails outright must not
    // turn the loop into a spin, so it is replaced by a sleep of the same length.
    if (event_->WaitForChange(seen, timeoutMs) == plat::WaitResult::Failed) {
      plat::Sleep(timeoutMs);
    }
  }
}

}  // namespace dral
