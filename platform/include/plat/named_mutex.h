// Named, recursive, process-shared mutex that survives the death of its owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace plat {

class SharedMemory;

enum class LockResult {
  Acquired,   // the caller owns the mutex
  Abandoned,  // the caller owns the mutex; the previous owner died while holding it
  Timeout,    // not obtained within the time-out; the caller does not own it
  Failed,     // not obtained for another reason; the caller does not own it
};

inline bool Owned(LockResult r) { return r == LockResult::Acquired || r == LockResult::Abandoned; }

// A robust, recursive pthread mutex in a shared-memory object of its own, named like the
// Windows mutex it stands for ("Global\DRAL_Driver_Mutex", see PosixObjectName).
//
// Ownership is per thread and recursive: the owner may lock again and must unlock as often.
// When an owner dies (or its thread ends) holding the mutex, the next locker gets it with
// LockResult::Abandoned, owning it once (the dead owner's recursion depth is not inherited);
// the mutex is made consistent at once, so it stays usable. Whatever it guards may be
// half-changed: that is the caller's to judge.
//
// Lifetime as SharedMemory: when no process holds the name, the next Open creates a fresh, free
// mutex (a dead owner of an earlier run leaves no Abandoned behind). Any thread may call Lock;
// the handle may be shared by the threads of a process.
class NamedMutex {
 public:
  // Opens or creates the mutex, not owned at creation. Null on failure with *error = errno
  // (of SharedMemory::Open, or of the pthread initialisation).
  static std::unique_ptr<NamedMutex> Open(const std::string& name, int* error);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits up to `timeoutMs` (measured on the monotonic clock; EINTR does not end the wait).
  // 0 tries once without waiting. kInfinite waits without bound (avoid it). Never returns
  // Timeout or Failed with the mutex owned. Failed: the mutex is unusable (ENOTRECOVERABLE) or
  // the recursion depth is exhausted.
  LockResult Lock(uint32_t timeoutMs);
  // Releases one level of ownership. Only the owning thread may call it.
  void Unlock();

  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

 private:
  struct Shared;
  NamedMutex(std::unique_ptr<SharedMemory> mem, Shared* shared);
  std::unique_ptr<SharedMemory> mem_;
  Shared* shared_;
};

}  // namespace plat
