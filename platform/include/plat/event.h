// Manual-reset events, unnamed (process memory) and named (shared memory between processes).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace plat {

class SharedMemory;

enum class WaitResult { Signaled, Timeout, Failed };

// The futex words of one event. A waiter waits for the generation to change, so a pulse wakes
// exactly the threads that were already waiting.
//
// Ordering (all operations on the three words are sequentially consistent): a waiter raises
// Waiters, then reads Generation; a signaller advances Generation, then reads Waiters. In the
// single total order either the waiter's increment comes first, and the signaller sees a waiter
// and makes the wake-up call (the futex wait, which compares Generation with the value the
// waiter expects, then returns at once or is woken), or the signaller's read comes first, and
// then its advance precedes the waiter's read of Generation, so the waiter sees the change and
// does not sleep. Skipping the call when Waiters is 0 therefore never loses a wake-up.
struct EventState {
  std::atomic<uint32_t> Signaled;    // 1 while set
  std::atomic<uint32_t> Generation;  // advanced by every Set and Pulse
  // Threads inside Wait. Set and Pulse make the wake-up system call only when it is non-zero,
  // so signalling an event nobody waits on (a busy reader) costs two atomic operations. A waiter
  // that died inside Wait leaves it raised, which only costs needless wake-up calls.
  std::atomic<uint32_t> Waiters;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4,
              "futex words must be lock-free 32-bit atomics");

// Interface of a manual-reset event. All members are safe from any thread and process.
class Event {
 public:
  virtual ~Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the event: every waiter and every later Wait returns Signaled until Reset.
  void Set();
  // Clears the event. Waiters that a Set already released stay released.
  void Reset();
  // Wakes exactly the threads that are waiting now (that entered Wait before the pulse) and
  // leaves the event clear, also when it was set.
  void Pulse();
  // Returns Signaled at once when set; otherwise waits up to `timeoutMs` (monotonic clock) for
  // a Set or a Pulse, and returns Signaled when one came, even when a Reset followed.
  // Spurious wake-ups and EINTR are absorbed: the call returns Timeout only when the time is
  // over. timeoutMs 0 only tests the state; kInfinite waits without bound. Failed only when
  // the futex call itself is refused (never for a valid event).
  WaitResult Wait(uint32_t timeoutMs);
  bool IsSet() const;

  // The generation now: advanced by every Set and Pulse (it wraps; only equality counts).
  // A consumer that checks for work and then waits reads it BEFORE the check and passes it to
  // WaitForChange, so a signal that comes after the read (after the check found nothing, before
  // the wait began) is never lost. Everything the signaller wrote before its Set or Pulse is
  // visible to a thread that reads the advanced generation.
  uint32_t Generation() const;
  // Returns Signaled at once when the generation differs from `seen` or the event is set;
  // otherwise waits up to `timeoutMs` (monotonic clock) for a Set or Pulse. Spurious wake-ups
  // and EINTR are absorbed as in Wait; timeoutMs 0 only compares, kInfinite waits without bound.
  WaitResult WaitForChange(uint32_t seen, uint32_t timeoutMs);

  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

 protected:
  explicit Event(EventState* state, bool shared) : state_(state), shared_(shared) {}

 private:
  // The wait for a generation other than `seen`, with this thread counted in Waiters.
  WaitResult WaitCounted(uint32_t seen, uint32_t timeoutMs);
  EventState* state_;
  bool shared_;  // the futex word lives in shared memory (no private futex)
};

// An event in process memory, initially clear.
class LocalEvent final : public Event {
 public:
  LocalEvent();

 private:
  EventState own_{};
};

// A named event in a shared-memory object of its own (name as for PosixObjectName), initially
// clear when created. Lifetime as SharedMemory: fresh (clear) when no process held it. Every
// Open is a handle of its own; handles of one name, in one process or several, share the state.
class NamedEvent final : public Event {
 public:
  // Opens or creates the event. Null on failure with *error = errno (see SharedMemory::Open).
  static std::unique_ptr<NamedEvent> Open(const std::string& name, int* error);
  ~NamedEvent() override;

 private:
  NamedEvent(std::unique_ptr<SharedMemory> mem, EventState* state);
  std::unique_ptr<SharedMemory> mem_;
};

}  // namespace plat
