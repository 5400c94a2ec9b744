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

  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

 protected:
  explicit Event(EventState* state, bool shared) : state_(state), shared_(shared) {}

 private:
  WaitResult WaitCounted(uint32_t timeoutMs);  // Wait with this thread counted in Waiters
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
