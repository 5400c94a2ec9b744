#include "server/HuxTxThread.h"

#include <algorithm>
#include <cstring>

#include "classlib/exception.h"
#include "plat/named_mutex.h"
#include "plat/tick.h"

namespace dral {

namespace {

constexpr uint32_t kRingSize = THuxTxThread::kRingSize;

// Bytes that fit: one byte always stays free, so a full ring never looks empty.
constexpr uint32_t FreeSpace(uint32_t write, uint32_t read) {
  return (read + kRingSize - write - 1) % kRingSize;
}

constexpr uint32_t Used(uint32_t write, uint32_t read) {
  return (write + kRingSize - read) % kRingSize;
}

}  // namespace

THuxTxThread::THuxTxThread(bool createSuspended) : cls::TThread(createSuspended) {
  int error = 0;
  // Only the server's own threads use it: no other user may hold it and stall every transmit.
  mutex_ = plat::NamedMutex::Open(kMutexName, &error, plat::ObjectAccess::OwnerOnly);
  if (!mutex_) throw cls::EAbort();
  if (!createSuspended) Start();
}

THuxTxThread::~THuxTxThread() {
  // The base destructor would join only after our members are gone; stop the drain loop here.
  // One pass is bounded (one write call plus kAdvanceWaitMs), so this wait ends.
  Terminate();
  WaitFor();
}

int THuxTxThread::Enqueue(const uint8_t* bytes, int n) {
  if (bytes == nullptr || n <= 0) return 0;
  for (int attempt = 0; attempt < kEnqueueAttempts; ++attempt) {
    plat::NamedMutexLock hold(*mutex_, kEnqueueWaitMs);
    if (!hold.Owned()) continue;
    const uint32_t w = write_.load(std::memory_order_relaxed);
    const uint32_t r = read_.load(std::memory_order_relaxed);
    if (static_cast<uint32_t>(n) > FreeSpace(w, r)) return 0;
    const uint32_t first = std::min(static_cast<uint32_t>(n), kRingSize - w);
    std::memcpy(ring_ + w, bytes, first);
    std::memcpy(ring_, bytes + first, static_cast<uint32_t>(n) - first);
    // Release: the drain thread reads the bytes after it sees the new write position.
    write_.store((w + static_cast<uint32_t>(n)) % kRingSize, std::memory_order_release);
    return n;
  }
  return 0;
}

void THuxTxThread::Clear() {
  plat::NamedMutexLock hold(*mutex_, kClearWaitMs);
  if (!hold.Owned()) return;
  const uint32_t w = write_.load(std::memory_order_relaxed);
  if (inCall_) {
    // The drain thread is writing a chunk from read_: leave its bytes in place and let it drop
    // everything up to here when the call returns.
    clearPending_ = true;
    clearTo_ = w;
  } else {
    read_.store(w, std::memory_order_release);
  }
}

int THuxTxThread::Pending() const {
  return static_cast<int>(
      Used(write_.load(std::memory_order_acquire), read_.load(std::memory_order_acquire)));
}

void THuxTxThread::Execute() {
  while (!Terminated()) {
    DrainOnce();
    plat::Sleep(kPassSleepMs);
  }
}

void THuxTxThread::DrainOnce() {
  // A pass that finds the ring empty touches no mutex.
  if (!inCall_ && write_.load(std::memory_order_acquire) == read_.load(std::memory_order_acquire)) {
    return;
  }
  uint32_t r = 0;
  uint32_t chunk = 0;
  {
    plat::NamedMutexLock hold(*mutex_, kAdvanceWaitMs);
    if (!hold.Owned()) return;
    if (inCall_) FinishCallLocked(owedAdvance_);  // owed by the last pass
    const uint32_t w = write_.load(std::memory_order_relaxed);
    r = read_.load(std::memory_order_relaxed);
    if (w == r) return;
    const uint32_t run = w > r ? w - r : kRingSize - r;
    chunk = std::min(run, static_cast<uint32_t>(kChunk));
    inCall_ = true;
  }

  int taken = WriteHandler.CallOr(0, ring_ + r, static_cast<int>(chunk));
  taken = std::clamp(taken, 0, static_cast<int>(chunk));

  plat::NamedMutexLock hold(*mutex_, kAdvanceWaitMs);
  if (!hold.Owned()) {
    // inCall_ stays set, so nobody moves read_; the next pass settles this before it offers
    // anything.
    owedAdvance_ = static_cast<uint32_t>(taken);
    return;
  }
  FinishCallLocked(static_cast<uint32_t>(taken));
}

void THuxTxThread::FinishCallLocked(uint32_t taken) {
  // read_ has not moved since the chunk was handed out: only this thread moves it while
  // inCall_ is set.
  const uint32_t r = read_.load(std::memory_order_relaxed);
  read_.store(clearPending_ ? clearTo_ : (r + taken) % kRingSize, std::memory_order_release);
  clearPending_ = false;
  inCall_ = false;
  owedAdvance_ = 0;
}

}  // namespace dral
