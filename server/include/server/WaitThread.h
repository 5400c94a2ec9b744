// TWaitThread: runs the server pass whenever a client pulses the server event, and at the
// latest every kRoundTimeoutMs, so that a pulse that found no waiter costs at most that long.
#pragma once

#include <cstdint>

#include "classlib/Closure.h"
#include "classlib/thread.h"
#include "plat/event.h"

namespace dral {

using RoundClosure = cls::Closure<void()>;

class TWaitThread : public cls::TThread {
 public:
  static constexpr uint32_t kRoundTimeoutMs = 50;

  // `event` must outlive the thread; without one the thread ends at once. With createSuspended
  // false the thread starts at the end of construction.
  TWaitThread(bool createSuspended, plat::Event* event);
  ~TWaitThread() override;

  // Called after every wait, signalled or timed out. Set before Start(); not changed while the
  // thread runs.
  RoundClosure RoundHandler;

 protected:
  void Execute() override;

 private:
  plat::Event* event_;
};

}  // namespace dral
