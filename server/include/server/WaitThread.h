// TWaitThread: runs the server pass whenever a client pulses the server event, and at the
// latest every kRoundTimeoutMs. The event's generation is read before each round and the wait
// is for a change of it, so a pulse that comes during a round (after the round looked at a
// client's ring) starts the next round at once. A round that leaves work behind which no pulse
// will announce asks for the next round sooner: within kRetryMs (a request held back by a full
// transmit ring) or when a hold ends (RetryWithin).
#pragma once

#include <atomic>
#include <cstdint>

#include "classlib/Closure.h"
#include "classlib/thread.h"
#include "plat/event.h"

namespace dral {

using RoundClosure = cls::Closure<void()>;

class TWaitThread : public cls::TThread {
 public:
  static constexpr uint32_t kRoundTimeoutMs = 50;
  static constexpr uint32_t kRetryMs = 1;

  // `event` must outlive the thread; without one the thread ends at once. With createSuspended
  // false the thread starts at the end of construction. The first round runs when the thread
  // starts; then each wait lasts at most `roundTimeoutMs`.
  TWaitThread(bool createSuspended, plat::Event* event, uint32_t roundTimeoutMs = kRoundTimeoutMs);
  ~TWaitThread() override;

  // Called at the start and after every wait, signalled or timed out. Set before Start(); not
  // changed while the thread runs.
  RoundClosure RoundHandler;

  // The wait after the current round (or, outside a round, after the next one) lasts at most
  // `ms` (the shortest of several asks counts). Any thread.
  void RetryWithin(uint32_t ms);
  void RetrySoon() { RetryWithin(kRetryMs); }

 protected:
  void Execute() override;

 private:
  plat::Event* event_;
  const uint32_t roundTimeoutMs_;
  static constexpr uint32_t kNoRetry = 0xFFFFFFFF;
  std::atomic<uint32_t> retryWithinMs_{kNoRetry};
};

}  // namespace dral
