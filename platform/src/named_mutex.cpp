#include "plat/named_mutex.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "deadline.h"
#include "plat/shared_memory.h"

namespace plat {

struct NamedMutex::Shared {
  pthread_mutex_t Mutex;
};

namespace {

int InitMutex(void* view) {
  auto* mutex = static_cast<pthread_mutex_t*>(view);
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not intercept pthread_mutex_clocklock and would take every mutex locked
// through it for unlocked. Its build polls with the intercepted trylock instead; the result and
// the bound are the same, only fairness differs.
constexpr long kTsanPollNs = 1000000;

int PollLock(pthread_mutex_t* m, const timespec& deadline) {
  for (;;) {
    const int rc = pthread_mutex_trylock(m);
    if (rc != EBUSY) return rc;
    if (DeadlinePassed(deadline)) return ETIMEDOUT;
    const timespec pause{0, kTsanPollNs};
    nanosleep(&pause, nullptr);
  }
}
#endif

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::string& name, int* error,
                                             ObjectAccess access) {
  auto mem = SharedMemory::Open(
      name, sizeof(Shared), error,
      [](void* view) { return InitMutex(&static_cast<Shared*>(view)->Mutex); }, access);
  if (!mem) return nullptr;
  auto* shared = static_cast<Shared*>(mem->View());
  return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(mem), shared));
}

NamedMutex::NamedMutex(std::unique_ptr<SharedMemory> mem, Shared* shared)
    : mem_(std::move(mem)), shared_(shared) {}

// The pthread mutex is not destroyed: other holders may still use it. It ends with the object.
NamedMutex::~NamedMutex() = default;

LockResult NamedMutex::Lock(uint32_t timeoutMs) {
  pthread_mutex_t* m = &shared_->Mutex;
  int rc;
  if (timeoutMs == 0) {
    rc = pthread_mutex_trylock(m);
  } else if (timeoutMs == kInfinite) {
    rc = pthread_mutex_lock(m);
  } else {
    const timespec deadline = DeadlineAfter(timeoutMs);
#if defined(__SANITIZE_THREAD__)
    rc = PollLock(m, deadline);
#else
    rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
#endif
  }
  switch (rc) {
    case 0:
      return LockResult::Acquired;
    case EOWNERDEAD:
      // We own it; without consistent() the next unlock would make it unusable for good.
      if (pthread_mutex_consistent(m) != 0) {
        pthread_mutex_unlock(m);
        return LockResult::Failed;
      }
      return LockResult::Abandoned;
    case EBUSY:       // trylock: held by another thread
    case ETIMEDOUT:
      return LockResult::Timeout;
    case ENOTRECOVERABLE:  // an owner unlocked without making it consistent
    case EAGAIN:           // recursion depth exhausted
    case EDEADLK:
    case EINVAL:
    default:
      return LockResult::Failed;
  }
}

void NamedMutex::Unlock() { pthread_mutex_unlock(&shared_->Mutex); }

}  // namespace plat
