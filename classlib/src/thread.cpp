#include "classlib/thread.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>

#include "classlib/exception.h"
#include "classlib/synchronize.h"
#include "plat/scheduling.h"

namespace cls {
namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
// How often WaitFor on the main thread looks at the Synchronize queue.
constexpr auto kSynchronizeSlice = std::chrono::milliseconds(5);

plat::ThreadPriority PlatformPriority(TThreadPriority priority) {
  switch (priority) {
    case TThreadPriority::tpIdle: return plat::ThreadPriority::Idle;
    case TThreadPriority::tpLowest: return plat::ThreadPriority::Lowest;
    case TThreadPriority::tpLower: return plat::ThreadPriority::Lower;
    case TThreadPriority::tpNormal: return plat::ThreadPriority::Normal;
    case TThreadPriority::tpHigher: return plat::ThreadPriority::Higher;
    case TThreadPriority::tpHighest: return plat::ThreadPriority::Highest;
    case TThreadPriority::tpTimeCritical: return plat::ThreadPriority::TimeCritical;
  }
  return plat::ThreadPriority::Normal;
}

}  // namespace

TThread::TThread(bool /*createSuspended*/) {}

TThread::~TThread() {
  if (!started_.load(std::memory_order_acquire)) return;
  if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
    // Deleted from its own Execute: nobody can join it.
    thread_.detach();
    return;
  }
  Terminate();
  WaitFor();
  if (thread_.joinable()) thread_.join();
}

void TThread::Start() {
  if (started_.exchange(true, std::memory_order_acq_rel)) return;
  // Run begins by taking finishMutex_, so it sees thread_ assigned (and detached) first.
  std::lock_guard<std::mutex> lock(finishMutex_);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    // No thread runs: the object stays unstarted, so neither WaitFor nor the destructor waits.
    started_.store(false, std::memory_order_release);
    throw Exception(Format("Thread creation error: %s", e.what()));
  }
  if (freeOnTerminate_) thread_.detach();
}

void TThread::Run() {
  { std::lock_guard<std::mutex> lock(finishMutex_); }
  {
    std::lock_guard<std::mutex> lock(priorityMutex_);
    tid_ = plat::CurrentThreadId();
    ApplyPriorityLocked();
  }
  try {
    Execute();
  } catch (const EAbort&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception in a thread\n");
  }
  {
    std::lock_guard<std::mutex> lock(priorityMutex_);
    plat::ForgetThreadPriority(tid_);
    tid_ = 0;
  }
  if (freeOnTerminate_) {
    finished_.store(true, std::memory_order_release);
    delete this;
    return;
  }
  std::lock_guard<std::mutex> lock(finishMutex_);
  finished_.store(true, std::memory_order_release);
  finishedCv_.notify_all();
}

bool TThread::WaitFor(uint32_t timeoutMs) {
  if (!Started()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool unbounded = timeoutMs == kInfinite;
  const bool onMain = IsMainThread();
  std::unique_lock<std::mutex> lock(finishMutex_);
  for (;;) {
    if (finished_.load(std::memory_order_acquire)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (!unbounded && now >= deadline) return false;
    auto until = unbounded ? now + std::chrono::hours(1) : deadline;
    if (onMain) {
      if (until > now + kSynchronizeSlice) until = now + kSynchronizeSlice;
      lock.unlock();
      CheckSynchronize();
      lock.lock();
      if (finished_.load(std::memory_order_acquire)) return true;
    }
    finishedCv_.wait_until(lock, until);
  }
}

void TThread::WaitFor() { WaitFor(kInfinite); }

void TThread::SetPriority(TThreadPriority priority) {
  priority_.store(priority);
  std::lock_guard<std::mutex> lock(priorityMutex_);
  ApplyPriorityLocked();
}

void TThread::ApplyPriorityLocked() {
  // A thread that has not started (or has ended) gets its priority when it starts.
  if (tid_ != 0) plat::SetThreadPriority(tid_, PlatformPriority(Priority()));
}

void TThread::Synchronize(const std::function<void()>& method) {
  SynchronizeCall(method, kSynchronizeInfinite);
}

}  // namespace cls
