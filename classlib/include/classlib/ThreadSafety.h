// Annotations for clang's thread-safety analysis (-Wthread-safety), and a mutex, a shared mutex
// and scoped locks that carry them (the C++ library's own types are not annotated). The
// annotations turn "guards X" and the `Locked` suffix into a contract that clang checks at
// compile time; with other compilers they are empty and the types are plain wrappers.
//
// Usage: name the lock next to what it guards (`int count_ GUARDED_BY(mutex_);`), mark a
// function that expects the lock held with REQUIRES(mutex_) (REQUIRES_SHARED for a reader),
// and take the lock with a scoped lock (cls::MutexLock, cls::WriterLock, cls::ReaderLock).
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define DRAL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DRAL_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks (`kind` names it in the warnings).
#define CAPABILITY(kind) DRAL_THREAD_ANNOTATION(capability(kind))
// A type that holds a capability for its lifetime (a scoped lock).
#define SCOPED_CAPABILITY DRAL_THREAD_ANNOTATION(scoped_lockable)
// A member that may be read or written only with the capability held (read: held shared).
#define GUARDED_BY(x) DRAL_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is guarded so.
#define PT_GUARDED_BY(x) DRAL_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller must hold the capabilities (exclusively, or at least shared).
#define REQUIRES(...) DRAL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) DRAL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller must not hold the capabilities (the function takes them itself).
#define EXCLUDES(...) DRAL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes or releases the capabilities (none named: the object itself).
#define ACQUIRE(...) DRAL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) DRAL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) DRAL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) DRAL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// The function takes the capability when it returns `result`.
#define TRY_ACQUIRE(...) DRAL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function returns a reference to the capability named.
#define RETURN_CAPABILITY(x) DRAL_THREAD_ANNOTATION(lock_returned(x))
// Turns the analysis off for one function; say why next to it.
#define NO_THREAD_SAFETY_ANALYSIS DRAL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace cls {

// std::mutex with annotations. It is also BasicLockable (lock, unlock), so a
// std::condition_variable_any can wait on it while the caller holds it through a MutexLock.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for a scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// std::shared_mutex with annotations: one writer or any number of readers.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a SharedMutex exclusively for a scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex shared for a scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace cls
