// THuxTxThread: the transmit ring between the senders of adapter frames and the link's write.
//
// Senders (any thread) put whole frames into a 4096-byte ring with Enqueue; a frame is queued
// whole or refused. The thread drains the ring in chunks of at most kChunk bytes through its
// WriteHandler, one pass per millisecond. The named mutex "HuxTxQueueMutex" serialises the
// enqueuers, Clear and the drain thread's pointer updates; the write handler is called without
// it; it is private to the server's user (plat::ObjectAccess::OwnerOnly). Bytes a write call
// took are never offered again, also when the mutex is slow to come after the call: the drain
// thread then waits for it before it offers anything else.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "classlib/Closure.h"
#include "classlib/thread.h"

namespace plat {
class NamedMutex;
}

namespace dral {

// WriteHandler(data, bytes, n): returns the number of bytes taken (0..n). A larger count is
// taken as n; a negative one as 0.
using WriteClosure = cls::Closure<int(const uint8_t* bytes, int n)>;

class THuxTxThread : public cls::TThread {
 public:
  static constexpr const char* kMutexName = "HuxTxQueueMutex";
  static constexpr int kRingSize = 4096;          // one byte always stays free
  static constexpr int kChunk = 512;              // most bytes per write call
  static constexpr int kEnqueueAttempts = 3;      // mutex waits per Enqueue
  static constexpr uint32_t kEnqueueWaitMs = 40;  // each
  static constexpr uint32_t kClearWaitMs = 200;
  static constexpr uint32_t kAdvanceWaitMs = 100;  // drain thread, after a write
  static constexpr uint32_t kPassSleepMs = 1;

  // Opens (or creates) the named mutex; throws cls::EAbort when that fails (also when another
  // user holds the name). The WriteHandler
  // starts unset. With createSuspended false the thread starts at once.
  explicit THuxTxThread(bool createSuspended = true);
  // Stops and joins the thread when it runs, then closes the mutex (kept open until here, so
  // Enqueue and Clear stay safe after the drain loop has ended).
  ~THuxTxThread() override;

  // Queues all n bytes and returns n, or queues nothing and returns 0: when they do not fit
  // (at most kRingSize - 1 bytes are held), when the mutex was not got in kEnqueueAttempts
  // waits of kEnqueueWaitMs, or when bytes is null or n <= 0. Any thread; also after the drain
  // thread has ended.
  int Enqueue(const uint8_t* bytes, int n);

  // Drops every byte queued so far: none of them is handed to the write handler after Clear
  // returns, except the one chunk already handed out (its write call running or starting).
  // Nothing happens when the mutex is not got within kClearWaitMs. Any thread.
  void Clear();

  // Bytes queued and not yet taken by the write handler (a snapshot; after a Clear during a
  // write call it counts the dropped bytes until that call returns).
  int Pending() const;

  // Set and unset at any time, also while the thread runs; Set() returns only when no write
  // call through the previous handler is running.
  cls::AtomicClosure<int(const uint8_t* bytes, int n)> WriteHandler;

 protected:
  void Execute() override;

 private:
  void DrainOnce();  // one pass, without its sleep
  // Ends the write call of a pass: drops what a Clear asked for, or advances read_ by taken.
  void FinishCallLocked(uint32_t taken);

  std::unique_ptr<plat::NamedMutex> mutex_;  // guards moves of write_ and read_
  // Ring positions 0..kRingSize-1; empty when equal. The drain thread reads them without the
  // mutex; write_ is moved only by Enqueue, read_ only under the mutex.
  std::atomic<uint32_t> write_{0};
  std::atomic<uint32_t> read_{0};
  // True while the drain thread hands out a chunk from read_; Clear then leaves read_ to the
  // drain thread (clearPending_, clearTo_) so the chunk being written is not overwritten.
  // inCall_ is written by the drain thread under the mutex and read by Clear under it.
  bool inCall_ = false;        // guarded by mutex_
  bool clearPending_ = false;  // guarded by mutex_
  uint32_t clearTo_ = 0;       // guarded by mutex_
  // Bytes taken by a write call whose read_ update is still owed because the mutex was not got
  // after the call; they are on the wire and never offered again. Drain thread only.
  uint32_t owedAdvance_ = 0;
  uint8_t ring_[kRingSize] = {};
};

}  // namespace dral
