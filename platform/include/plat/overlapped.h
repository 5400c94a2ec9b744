// Overlapped (asynchronous) reads and writes on non-blocking descriptors.
//
// An operation is described by an `Overlapped` record that owns a manual-reset event. Starting a
// read or a write either completes at once (the event is set before the call returns), fails at
// once, or leaves the operation pending; a pending operation completes later on the device's
// I/O thread, which then stores the byte count and result code and sets the event. The caller
// waits on the event (`Overlapped::Wait` or `GetEvent().Wait`) with a time-out of its choice and
// collects the outcome with `GetOverlappedResult`.
//
// Design: every open device (`AsyncDevice`) has one small I/O thread, started with its first
// pending operation. Only that thread polls the descriptor; every read(2)/write(2) on it, from
// the starting call or from the I/O thread, runs under the device's mutex and only while the
// device is open. `Close` completes all pending operations as cancelled, joins the I/O thread
// and only then closes the descriptor, so no call ever uses a descriptor that is being closed
// or that was reused. Cancellation is synchronous: when `CancelIo` / `CancelIoEx` returns, the
// I/O thread no longer touches the operation's buffer or record.
//
// Result codes are the numbers that the Windows API uses for the same conditions, so code that
// tests for "pending" or "aborted" reads the same as on that platform. `ErrorFromErrno` maps every
// errno in one place; a hang-up of the peer (end of stream, EPIPE, ECONNRESET, POLLHUP) is
// reported as kErrorDeviceNotConnected, like a device that was removed.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "plat/event.h"
#include "plat/unique_fd.h"

namespace plat {

// Result codes (a code of 0 is success).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;           // ENOENT, ENOTDIR
inline constexpr uint32_t kErrorAccessDenied = 5;           // EACCES, EPERM, EROFS
inline constexpr uint32_t kErrorInvalidHandle = 6;          // EBADF; handle not open or closed
inline constexpr uint32_t kErrorNotEnoughMemory = 8;        // ENOMEM, ENOBUFS
inline constexpr uint32_t kErrorInvalidData = 13;           // EPROTO, EBADMSG
inline constexpr uint32_t kErrorGenFailure = 31;            // EIO and every errno not listed here
inline constexpr uint32_t kErrorSharingViolation = 32;      // device opened exclusively elsewhere
inline constexpr uint32_t kErrorNotSupported = 50;          // not a device this layer can open
inline constexpr uint32_t kErrorInvalidParameter = 87;      // EINVAL, EFAULT, EMSGSIZE, record busy
inline constexpr uint32_t kErrorBusy = 170;                 // EBUSY, EAGAIN on connect
inline constexpr uint32_t kErrorOperationAborted = 995;     // cancelled, or the device was closed
inline constexpr uint32_t kErrorIoIncomplete = 996;         // still pending (GetOverlappedResult)
inline constexpr uint32_t kErrorIoPending = 997;            // EINPROGRESS; started, not finished
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;  // hang-up, removal, ECONNREFUSED
inline constexpr uint32_t kErrorNotFound = 1168;            // nothing to cancel
inline constexpr uint32_t kErrorTimeout = 1460;             // ETIMEDOUT

// Maps an errno value to one of the codes above (0 -> kErrorSuccess).
uint32_t ErrorFromErrno(int err);

enum class IoStatus : uint8_t {
  Completed,  // done; Bytes is the count transferred, Error is 0
  Pending,    // not finished; Error is kErrorIoPending (start) or kErrorIoIncomplete (result)
  Failed,     // done with Error; Bytes is what was transferred before the failure
};

struct IoResult {
  IoStatus Status = IoStatus::Failed;
  uint32_t Bytes = 0;
  uint32_t Error = kErrorInvalidParameter;

  bool Completed() const { return Status == IoStatus::Completed; }
  bool Pending() const { return Status == IoStatus::Pending; }
};

class Overlapped;

// Whoever started an operation on an `Overlapped` and can cancel it (an `AsyncDevice`, or a
// device of a library that completes records of this layer).
class OverlappedIssuer {
 public:
  // Cancels `ov` when it is still pending with this issuer: it completes with
  // kErrorOperationAborted. Synchronous: on return the issuer no longer touches `ov` or its
  // buffer. Returns false when `ov` was not pending here (already completed).
  virtual bool CancelOverlapped(Overlapped& ov) = 0;

 protected:
  ~OverlappedIssuer() = default;
};

// The record of one operation and its completion event (manual reset, clear after construction).
//
// A record serves one operation at a time; it may be reused once that operation has completed.
// Starting an operation resets the event; completion (at once or later) sets it. Destroying a
// record whose operation is still pending cancels the operation first, so a record on the
// stack is always safe to leave.
//
// Thread safety: any thread may wait on the event, call GetOverlappedResult, CancelIoEx or
// IsPending. The issuer-side members (Start, SetIssuer, Finish) are for implementations of
// OverlappedIssuer only.
class Overlapped {
 public:
  Overlapped() = default;
  ~Overlapped();
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  Event& GetEvent() { return event_; }
  // Waits up to `timeoutMs` for completion; Signaled when the operation has completed.
  WaitResult Wait(uint32_t timeoutMs) { return event_.Wait(timeoutMs); }
  bool IsPending() const { return state_.load(std::memory_order_acquire) == kPending; }

  // --- issuer side ---
  // Claims the record for a new operation: clears the outcome, resets the event. False (and
  // nothing changed) while an earlier operation is still pending.
  bool Start();
  // Names the issuer that CancelIoEx and the destructor ask to cancel a pending operation.
  void SetIssuer(std::weak_ptr<OverlappedIssuer> issuer);
  // Completes the pending operation: stores the outcome, forgets the issuer, sets the event.
  // After Finish returns, the issuer must not touch the record again.
  void Finish(uint32_t bytes, uint32_t error);

 private:
  friend IoResult GetOverlappedResult(Overlapped& ov, uint32_t waitMs);
  friend bool CancelIoEx(Overlapped& ov);

  static constexpr uint32_t kIdle = 0, kPending = 1, kDone = 2;

  std::mutex mutex_;  // guards issuer_; orders Finish before the record's destruction
  std::weak_ptr<OverlappedIssuer> issuer_;
  std::atomic<uint32_t> state_{kIdle};
  std::atomic<uint32_t> bytes_{0};
  std::atomic<uint32_t> error_{0};
  LocalEvent event_;
};

// The outcome of the operation on `ov`. When it is still pending, waits up to `waitMs` for it
// (0: no wait); still pending then -> {Pending, 0, kErrorIoIncomplete}. A record that never
// started an operation -> {Failed, 0, kErrorInvalidParameter}. Event::kInfinite waits without
// bound; use it only where completion is certain.
IoResult GetOverlappedResult(Overlapped& ov, uint32_t waitMs);

// Cancels the one operation on `ov`, whichever thread started it and whether it was started
// through a device handle or through a library that completes records of this layer (the
// WinUSB library's pipe transfers). Synchronous, see OverlappedIssuer. False (kErrorNotFound)
// when nothing was pending.
bool CancelIoEx(Overlapped& ov);

// One open, non-blocking descriptor with overlapped reads and writes; the engine behind device
// handles and the WinUSB library's interfaces. A subclass decides how a request moves forward
// (ServiceLocked); this class owns the descriptor, the I/O thread, the pending requests,
// cancellation and closing.
//
// Instances are held by std::shared_ptr (records keep a weak reference to cancel through).
// Every member may be called from any thread except the I/O thread; none blocks longer than
// one non-blocking system call, except Close, which joins the I/O thread (that thread never
// waits for anything but poll with a bounded time-out, so the join is prompt).
class AsyncDevice : public OverlappedIssuer, public std::enable_shared_from_this<AsyncDevice> {
 public:
  AsyncDevice(const AsyncDevice&) = delete;
  AsyncDevice& operator=(const AsyncDevice&) = delete;
  virtual ~AsyncDevice();  // subclasses call Close() in their own destructor

  // Completes every pending operation with kErrorOperationAborted, stops and joins the I/O
  // thread, closes the descriptor. Later calls fail with kErrorInvalidHandle. Idempotent.
  void Close();
  bool IsClosed() const { return closed_.load(std::memory_order_acquire); }

  // Cancels the pending operations that the calling thread started. False when there were none.
  bool CancelThreadIo();
  bool CancelOverlapped(Overlapped& ov) override;

  // A duplicate of the descriptor (close-on-exec) that the caller owns, or -1 with *error set
  // (kErrorInvalidHandle once closed).
  int DuplicateDescriptor(uint32_t* error);

 protected:
  // Takes ownership of `fd`, which must be non-blocking.
  explicit AsyncDevice(UniqueFd fd);

  struct Request {
    Overlapped* Ov;
    uint8_t* Buffer;
    uint32_t Length;
    uint32_t Done;  // bytes moved so far (partial writes)
    uint32_t Tag;   // subclass' own (the WinUSB pipe id)
    std::thread::id Thread;
  };
  using RequestList = std::list<Request>;

  // Starts a read (into `reads_`) or a write (into `writes_`): claims `ov`, queues the request
  // and services the device once. Returns Completed/Failed when the request finished within
  // that, else Pending (the I/O thread completes it). Fails with kErrorInvalidHandle when
  // closed, kErrorInvalidParameter when `ov` is still busy with another operation.
  IoResult Submit(bool write, uint8_t* buffer, uint32_t length, uint32_t tag, Overlapped& ov);

  // Moves pending requests forward with non-blocking calls on fd_ and completes them with
  // CompleteLocked. `revents` is what poll reported for fd_ (0 when called from Submit);
  // POLLHUP/POLLERR with a call that would still block means the peer is gone. Must leave no
  // request pending that could progress now, or the I/O thread would spin.
  virtual void ServiceLocked(short revents) = 0;
  // The poll events the I/O thread waits for. Default: POLLIN while reads are pending, POLLOUT
  // while writes are pending.
  virtual short PollEventsLocked() const;
  // Called by Close with the mutex held, after all requests were aborted and before the
  // descriptor is closed.
  virtual void ClosingLocked() {}

  // Completes and removes the request at `it` of `list`; returns the next iterator.
  RequestList::iterator CompleteLocked(RequestList& list, RequestList::iterator it, uint32_t error);

  std::mutex mutex_;    // guards everything below and every system call on fd_
  UniqueFd fd_;         // not open once closed
  RequestList reads_;   // pending reads, in the order they were started
  RequestList writes_;  // pending writes, in the order they were started

 private:
  void ThreadMain();
  void WakeLocked();
  bool CancelMatchingLocked(RequestList& list, const Overlapped* ov, std::thread::id thread);

  std::atomic<bool> closed_{false};
  UniqueFd wakeFd_;     // eventfd that interrupts the I/O thread's poll; guarded by mutex_
  std::thread thread_;  // started with the first pending request; guarded by mutex_
};

}  // namespace plat
