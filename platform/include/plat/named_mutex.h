// Named, recursive, process-shared mutex that survives the death of its owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "plat/shared_memory.h"

namespace plat {

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
  // (of SharedMemory::Open, or of the pthread initialisation). `access` as for SharedMemory:
  // open to every user (the default), or to the opener's user only.
  static std::unique_ptr<NamedMutex> Open(const std::string& name, int* error,
                                          ObjectAccess access = ObjectAccess::AllUsers);
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

// Holds a NamedMutex for a scope: locks in the constructor (as NamedMutex::Lock, with its
// time-out) and releases in the destructor when owned, on every exit path, exceptions included.
// Result() tells whether the lock was obtained and whether its previous owner died holding it,
// so the caller can repair what the mutex guards before relying on it. Used by one thread; the
// mutex must outlive the hold.
class NamedMutexLock {
 public:
  NamedMutexLock(NamedMutex& mutex, uint32_t timeoutMs)
      : mutex_(&mutex), result_(mutex.Lock(timeoutMs)) {}
  ~NamedMutexLock() { Unlock(); }
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;

  LockResult Result() const { return result_; }
  bool Owned() const { return plat::Owned(result_); }
  bool Abandoned() const { return result_ == LockResult::Abandoned; }

  // Releases early; afterwards the hold owns nothing. Does nothing when not owned.
  void Unlock() {
    if (plat::Owned(result_)) mutex_->Unlock();
    result_ = LockResult::Failed;
  }

 private:
  NamedMutex* mutex_;
  LockResult result_;
};

}  // namespace plat
