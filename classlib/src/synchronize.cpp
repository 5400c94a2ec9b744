#include "classlib/synchronize.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "classlib/exception.h"

namespace cls {
namespace {

struct Call {
  std::function<void()> Method;
  bool Waited = false;    // a SynchronizeCall waits for it
  bool Running = false;   // taken off the queue by the main thread
  bool Done = false;
  std::exception_ptr Error;  // what the method raised, handed to the waiting thread
};

// The queue of the main thread; one per process.
class SyncQueue {
 public:
  static SyncQueue& Instance() {
    static SyncQueue queue;
    return queue;
  }

  std::atomic<std::thread::id> MainThread{};

  void Push(const std::shared_ptr<Call>& call) {
    std::function<void()> wakeUp;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
      wakeUp = wakeUp_;
    }
    if (wakeUp) wakeUp();
  }

  // Waits for `call` up to `timeoutMs`; withdraws it when it has not begun by then. Hands out
  // what the method raised: the exception then belongs to the waiting thread alone.
  bool WaitDone(const std::shared_ptr<Call>& call, uint32_t timeoutMs, std::exception_ptr* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [&] { return call->Done; };
    const bool bounded = timeoutMs != kSynchronizeInfinite;
    if (!bounded || doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done) ||
        call->Running) {  // a method already begun cannot be withdrawn: it completes
      doneCv_.wait(lock, done);
      *error = std::move(call->Error);
      return true;
    }
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
      if (*it == call) {
        calls_.erase(it);
        break;
      }
    }
    return false;
  }

  int Drain() {
    size_t budget;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      budget = calls_.size();  // calls queued while draining wait for the next pass
    }
    int ran = 0;
    while (budget-- > 0) {
      std::shared_ptr<Call> call;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (calls_.empty()) break;
        call = calls_.front();
        calls_.pop_front();
        call->Running = true;
      }
      std::exception_ptr error;
      try {
        call->Method();
      } catch (...) {
        error = std::current_exception();
      }
      ++ran;
      if (error && !call->Waited) Report(error);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        call->Error = std::move(error);
        call->Done = true;
        doneCv_.notify_all();
      }
    }
    return ran;
  }

  void SetWakeUp(std::function<void()> wakeUp) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeUp_ = std::move(wakeUp);
  }

  // A queued method has nobody to raise to: show its message as the thread runner does.
  static void Report(const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "unknown exception in a queued method\n");
    }
  }

 private:
  std::mutex mutex_;  // guards calls_, wakeUp_ and the Running/Done/Error fields of each Call
  std::condition_variable doneCv_;
  std::deque<std::shared_ptr<Call>> calls_;
  std::function<void()> wakeUp_;
};

bool NoMainThread() { return SyncQueue::Instance().MainThread.load() == std::thread::id(); }

}  // namespace

void SetMainThread() { SyncQueue::Instance().MainThread.store(std::this_thread::get_id()); }

void ClearMainThread() { SyncQueue::Instance().MainThread.store(std::thread::id()); }

bool IsMainThread() {
  return SyncQueue::Instance().MainThread.load() == std::this_thread::get_id();
}

bool SynchronizeCall(const std::function<void()>& method, uint32_t timeoutMs) {
  if (NoMainThread() || IsMainThread()) {
    method();
    return true;
  }
  auto call = std::make_shared<Call>();
  call->Method = method;
  call->Waited = true;
  auto& queue = SyncQueue::Instance();
  queue.Push(call);
  std::exception_ptr error;
  if (!queue.WaitDone(call, timeoutMs, &error)) return false;
  if (error) std::rethrow_exception(error);
  return true;
}

void QueueCall(std::function<void()> method) {
  if (NoMainThread()) {
    // Run at once, but what it raises is reported and dropped as from the queue: the caller
    // (an event thread, say) never expects it back.
    try {
      method();
    } catch (...) {
      SyncQueue::Report(std::current_exception());
    }
    return;
  }
  auto call = std::make_shared<Call>();
  call->Method = std::move(method);
  SyncQueue::Instance().Push(call);
}

int CheckSynchronize() {
  if (!IsMainThread()) return 0;
  return SyncQueue::Instance().Drain();
}

void SetSynchronizeWakeUp(std::function<void()> wakeUp) {
  SyncQueue::Instance().SetWakeUp(std::move(wakeUp));
}

}  // namespace cls
