// A manual-reset event that a poll(2) can wait on together with descriptors.
#pragma once

#include "plat/unique_fd.h"

namespace plat {

// An eventfd used as a manual-reset event: Set makes the descriptor readable (for every waiter,
// until Reset), Reset makes it unreadable again. Waiters never read the descriptor; they only
// poll it for POLLIN, so one Set releases all of them and a Set made before a wait is not lost.
// Any thread may call any member. Creation failure (descriptor limit) leaves Fd() at -1; then
// Set/Reset do nothing and IsSet is false.
class PollEvent {
 public:
  PollEvent();
  PollEvent(const PollEvent&) = delete;
  PollEvent& operator=(const PollEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // The descriptor to poll for POLLIN; owned by this object.
  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

}  // namespace plat
