#include "plat/overlapped.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "plat/scheduling.h"
#include "plat/tick.h"

namespace plat {
namespace {

// The I/O thread re-checks its state at least this often even when nothing wakes it.
constexpr int kIdlePollMs = 1000;
// A record destroyed while pending waits this long for an issuer that is closing to complete it.
constexpr uint32_t kDestroyWaitMs = 5000;

}  // namespace

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EPROTO:
    case EBADMSG:
      return kErrorInvalidData;
    case EINVAL:
    case EFAULT:
    case EMSGSIZE:
    case ENAMETOOLONG:
      return kErrorInvalidParameter;
    case EBUSY:
    case EAGAIN:
      return kErrorBusy;
    case EOPNOTSUPP:
    case ENOTTY:
    case EPROTOTYPE:
    case ENOTSOCK:
    case EISDIR:
      return kErrorNotSupported;
    case ECANCELED:
      return kErrorOperationAborted;
    case EINPROGRESS:
      return kErrorIoPending;
    case EPIPE:
    case ECONNRESET:
    case ECONNREFUSED:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
    case ENODEV:
    case ENXIO:
      return kErrorDeviceNotConnected;
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      return kErrorGenFailure;
  }
}

// ---------------------------------------------------------------------------------------------
// Overlapped

Overlapped::~Overlapped() {
  // Leaving a pending operation behind would let the issuer write into freed memory.
  const uint32_t start = GetTickCount();
  while (IsPending()) {
    CancelIoEx(*this);
    // Not pending with a live issuer any more; only an issuer that is being destroyed (its
    // Close completes the record) or one that has not yet named itself can leave it pending.
    if (IsPending() && event_.Wait(10) != WaitResult::Signaled &&
        TickElapsed(start, kDestroyWaitMs)) {
      std::fprintf(stderr, "plat::Overlapped destroyed with an operation nobody completes\n");
      std::abort();
    }
  }
  // Finish holds the mutex until its last touch of the record.
  std::lock_guard<std::mutex> lock(mutex_);
}

bool Overlapped::Start() {
  // Under the mutex: a Finish of the previous operation that another thread has already
  // observed as done may still be about to set the event; resetting it before that Set would
  // leave the new operation's event signalled.
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_.load(std::memory_order_acquire) == kPending) return false;
  bytes_.store(0, std::memory_order_relaxed);
  error_.store(kErrorIoPending, std::memory_order_relaxed);
  event_.Reset();
  state_.store(kPending, std::memory_order_release);
  return true;
}

void Overlapped::SetIssuer(std::weak_ptr<OverlappedIssuer> issuer) {
  std::lock_guard<std::mutex> lock(mutex_);
  issuer_ = std::move(issuer);
}

void Overlapped::Finish(uint32_t bytes, uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  issuer_.reset();
  bytes_.store(bytes, std::memory_order_relaxed);
  error_.store(error, std::memory_order_relaxed);
  state_.store(kDone, std::memory_order_release);
  event_.Set();
}

IoResult GetOverlappedResult(Overlapped& ov, uint32_t waitMs) {
  uint32_t s = ov.state_.load(std::memory_order_acquire);
  if (s == Overlapped::kPending && waitMs != 0) {
    ov.event_.Wait(waitMs);
    s = ov.state_.load(std::memory_order_acquire);
  }
  switch (s) {
    case Overlapped::kIdle:
      return {IoStatus::Failed, 0, kErrorInvalidParameter};
    case Overlapped::kPending:
      return {IoStatus::Pending, 0, kErrorIoIncomplete};
    default: {
      const uint32_t bytes = ov.bytes_.load(std::memory_order_relaxed);
      const uint32_t error = ov.error_.load(std::memory_order_relaxed);
      return {error == kErrorSuccess ? IoStatus::Completed : IoStatus::Failed, bytes, error};
    }
  }
}

bool CancelIoEx(Overlapped& ov) {
  std::shared_ptr<OverlappedIssuer> issuer;
  {
    std::lock_guard<std::mutex> lock(ov.mutex_);
    if (!ov.IsPending()) return false;
    issuer = ov.issuer_.lock();
  }
  // Called without the record's mutex: the issuer takes its own lock first and then Finish
  // takes the record's, the same order as a completion on the I/O thread.
  return issuer && issuer->CancelOverlapped(ov);
}

// ---------------------------------------------------------------------------------------------
// AsyncDevice

AsyncDevice::AsyncDevice(UniqueFd fd) : fd_(std::move(fd)) {}

AsyncDevice::~AsyncDevice() {
  Close();
}

IoResult AsyncDevice::Submit(bool write, uint8_t* buffer, uint32_t length, uint32_t tag,
                             Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_) return {IoStatus::Failed, 0, kErrorInvalidHandle};
  if (!ov.Start()) return {IoStatus::Failed, 0, kErrorInvalidParameter};
  RequestList& list = write ? writes_ : reads_;
  list.push_back(Request{&ov, buffer, length, 0, tag, std::this_thread::get_id()});
  ServiceLocked(0);
  if (!ov.IsPending()) return GetOverlappedResult(ov, 0);

  ov.SetIssuer(weak_from_this());
  if (!thread_.joinable()) {
    if (!wakeFd_) wakeFd_ = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wakeFd_) {
      const int err = errno;
      for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->Ov == &ov) {
          CompleteLocked(list, it, ErrorFromErrno(err));
          break;
        }
      }
      return GetOverlappedResult(ov, 0);
    }
    thread_ = std::thread([this] { ThreadMain(); });
  } else {
    WakeLocked();  // the thread may be polling for other events
  }
  return {IoStatus::Pending, 0, kErrorIoPending};
}

short AsyncDevice::PollEventsLocked() const {
  short events = 0;
  if (!reads_.empty()) events |= POLLIN;
  if (!writes_.empty()) events |= POLLOUT;
  return events;
}

AsyncDevice::RequestList::iterator AsyncDevice::CompleteLocked(RequestList& list,
                                                               RequestList::iterator it,
                                                               uint32_t error) {
  Overlapped* ov = it->Ov;
  const uint32_t done = it->Done;
  it = list.erase(it);
  ov->Finish(done, error);
  return it;
}

bool AsyncDevice::CancelMatchingLocked(RequestList& list, const Overlapped* ov,
                                       std::thread::id thread) {
  bool any = false;
  for (auto it = list.begin(); it != list.end();) {
    if (ov ? it->Ov == ov : it->Thread == thread) {
      it = CompleteLocked(list, it, kErrorOperationAborted);
      any = true;
    } else {
      ++it;
    }
  }
  return any;
}

bool AsyncDevice::CancelThreadIo() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto self = std::this_thread::get_id();
  const bool reads = CancelMatchingLocked(reads_, nullptr, self);
  const bool writes = CancelMatchingLocked(writes_, nullptr, self);
  return reads || writes;
}

bool AsyncDevice::CancelOverlapped(Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool reads = CancelMatchingLocked(reads_, &ov, {});
  const bool writes = CancelMatchingLocked(writes_, &ov, {});
  return reads || writes;
}

int AsyncDevice::DuplicateDescriptor(uint32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_) {
    *error = kErrorInvalidHandle;
    return -1;
  }
  const int dup = fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0);
  *error = dup < 0 ? ErrorFromErrno(errno) : kErrorSuccess;
  return dup;
}

void AsyncDevice::WakeLocked() {
  if (!wakeFd_) return;
  const uint64_t one = 1;
  // A full counter (EAGAIN) is already a pending wake-up.
  [[maybe_unused]] const ssize_t n = write(wakeFd_.Get(), &one, sizeof one);
}

void AsyncDevice::Close() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    for (auto it = reads_.begin(); it != reads_.end();) {
      it = CompleteLocked(reads_, it, kErrorOperationAborted);
    }
    for (auto it = writes_.begin(); it != writes_.end();) {
      it = CompleteLocked(writes_, it, kErrorOperationAborted);
    }
    WakeLocked();
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
  std::lock_guard<std::mutex> lock(mutex_);
  ClosingLocked();
  fd_.Reset();
  wakeFd_.Reset();
}

void AsyncDevice::ThreadMain() {
  AdoptProcessPriority();
  for (;;) {
    pollfd fds[2] = {};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (IsClosed()) return;
      const short events = PollEventsLocked();
      fds[0] = {wakeFd_.Get(), POLLIN, 0};
      // fd_ and wakeFd_ stay open until this thread has been joined, so polling them outside
      // the lock is safe.
      fds[1] = {events != 0 ? fd_.Get() : -1, events, 0};
    }
    const int n = poll(fds, 2, kIdlePollMs);
    if (n < 0 && errno != EINTR) {
      Sleep(1);  // poll refuses only for lack of memory; do not spin
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(fds[0].fd, &count, sizeof count);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsClosed()) return;
    if (fds[1].revents != 0) ServiceLocked(fds[1].revents);
  }
}

}  // namespace plat
