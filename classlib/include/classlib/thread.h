// TThread: a thread object that is created suspended, configured and then started.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "plat/scheduling.h"

namespace cls {

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Derive and override Execute. Lifecycle:
//  - The thread does not run until Start(). C++ cannot run Execute before the derived
//    constructor finishes, so `createSuspended` = false does not start anything by itself: a
//    derived constructor that wants it running calls Start() at its end. The system always
//    creates suspended and calls Start(). A second Start() does nothing.
//  - Terminate() sets Terminated(); Execute is expected to test it and return.
//  - WaitFor() waits until Execute has returned (bounded form: WaitFor(ms), false when the time
//    passed first). A thread never started counts as ended. Called on the main thread (see
//    synchronize.h), WaitFor runs the Synchronize queue while it waits, so a thread blocked in
//    Synchronize can finish. Not from the thread itself.
//  - The owner then deletes the object. The destructor terminates and joins a thread still
//    running; but by then the derived part is gone, so a derived class whose Execute uses its
//    own members calls Terminate() and WaitFor() in its own destructor. It must not be called
//    from the thread itself unless FreeOnTerminate is set.
//  - FreeOnTerminate: the object deletes itself after Execute returns (the std::thread is
//    detached); nobody may WaitFor it or delete it afterwards. Set it before Start().
//  - An exception escaping Execute ends the thread, not the process: its message goes to
//    stderr (none for EAbort).
// Priority is relative to the process's priority class (plat/scheduling.h, which lists the
// levels) and best effort: a raise that needs privileges goes as far as the system allows. It
// applies at once to a running thread, else when it starts.
class TThread {
 public:
  explicit TThread(bool createSuspended = true);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Raises Exception when the system cannot create the thread; the object then stays unstarted.
  void Start();  // also spelled Resume in older code
  void Resume() { Start(); }
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Waits for Execute to return. Returns false when `timeoutMs` passed first.
  bool WaitFor(uint32_t timeoutMs);
  void WaitFor();  // unbounded: only where the thread's own loop has a bounded pass
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  bool Started() const { return started_.load(std::memory_order_acquire); }

  void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }
  bool FreeOnTerminate() const { return freeOnTerminate_; }
  void SetPriority(TThreadPriority priority);
  TThreadPriority Priority() const { return priority_.load(); }

  // Runs `method` on the main thread and waits for it without bound (see synchronize.h); runs
  // it directly when no main thread is set. What `method` raises is raised here.
  void Synchronize(const std::function<void()>& method);

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  void ApplyPriorityLocked();
  std::thread thread_;  // assigned by Start under finishMutex_; joined by the destructor
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  bool freeOnTerminate_ = false;
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::mutex priorityMutex_;  // guards tid_, so a priority never reaches an ended thread's id
  plat::ThreadId tid_ = 0;    // kernel id of the running thread, 0 before and after
  std::mutex finishMutex_;  // guards the finished_ hand-off to WaitFor and the start hand-off
  std::condition_variable finishedCv_;
};

}  // namespace cls
