#include "plat/event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "deadline.h"
#include "plat/shared_memory.h"

namespace plat {
namespace {

// FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so waits resumed after a
// spurious wake-up or EINTR keep the caller's original time-out.
long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline,
               bool shared) {
  const int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, expected, deadline, nullptr,
                 FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeAll(std::atomic<uint32_t>* word, bool shared) {
  const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

// Set, Pulse and the waits use sequentially consistent operations; event.h explains why no
// wake-up is lost.
void Event::Set() {
  state_->Signaled.store(1);
  state_->Generation.fetch_add(1);
  if (state_->Waiters.load() != 0) FutexWakeAll(&state_->Generation, shared_);
}

void Event::Reset() {
  state_->Signaled.store(0);
}

void Event::Pulse() {
  state_->Signaled.store(0);
  state_->Generation.fetch_add(1);
  if (state_->Waiters.load() != 0) FutexWakeAll(&state_->Generation, shared_);
}

bool Event::IsSet() const {
  return state_->Signaled.load() != 0;
}

uint32_t Event::Generation() const {
  return state_->Generation.load();
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  if (timeoutMs == 0)
    return state_->Signaled.load() != 0 ? WaitResult::Signaled : WaitResult::Timeout;
  state_->Waiters.fetch_add(1);
  // Read after Waiters is raised: a Set or Pulse after this point either sees the waiter or
  // changes the generation before the futex compares it.
  const WaitResult result = WaitCounted(state_->Generation.load(), timeoutMs);
  state_->Waiters.fetch_sub(1);
  return result;
}

WaitResult Event::WaitForChange(uint32_t seen, uint32_t timeoutMs) {
  if (timeoutMs == 0) {
    const bool changed = state_->Generation.load() != seen || state_->Signaled.load() != 0;
    return changed ? WaitResult::Signaled : WaitResult::Timeout;
  }
  state_->Waiters.fetch_add(1);
  const WaitResult result = WaitCounted(seen, timeoutMs);
  state_->Waiters.fetch_sub(1);
  return result;
}

WaitResult Event::WaitCounted(uint32_t generation, uint32_t timeoutMs) {
  if (state_->Generation.load() != generation || state_->Signaled.load() != 0) {
    return WaitResult::Signaled;
  }
  const timespec deadline = DeadlineAfter(timeoutMs);
  const timespec* until = timeoutMs == kInfinite ? nullptr : &deadline;
  for (;;) {
    const long rc = FutexWait(&state_->Generation, generation, until, shared_);
    const int err = rc == -1 ? errno : 0;
    if (state_->Generation.load() != generation || state_->Signaled.load() != 0) {
      return WaitResult::Signaled;
    }
    switch (err) {
      case 0:  // woken, but the generation is unchanged: spurious
      case EINTR:
      case EAGAIN:  // the word changed and changed back (wrapped): treat as spurious
        continue;
      case ETIMEDOUT:
        return WaitResult::Timeout;
      default:  // EFAULT, EINVAL, ENOSYS: the event is unusable
        return WaitResult::Failed;
    }
  }
}

LocalEvent::LocalEvent() : Event(&own_, false) {}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name, int* error) {
  auto mem = SharedMemory::Open(name, sizeof(EventState), error);
  if (!mem) return nullptr;
  // A created object is zero-filled: clear, generation 0.
  auto* state = static_cast<EventState*>(mem->View());
  return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(mem), state));
}

NamedEvent::NamedEvent(std::unique_ptr<SharedMemory> mem, EventState* state)
    : Event(state, true), mem_(std::move(mem)) {}

NamedEvent::~NamedEvent() = default;

}  // namespace plat
