// The main-thread queue behind TThread::Synchronize.
#pragma once

#include <cstdint>
#include <functional>

namespace cls {

// Marks the calling thread as the main thread (the program's GUI thread). Until one is set,
// Synchronize runs the method directly on the calling thread. ClearMainThread returns to that
// state (for shutdown and tests); methods still queued then stay queued until a main thread
// drains them.
void SetMainThread();
void ClearMainThread();
bool IsMainThread();

constexpr uint32_t kSynchronizeInfinite = 0xFFFFFFFF;

// Queues `method` for the main thread and waits until it has run; kSynchronizeInfinite waits
// without bound. Called on the main thread, or when no main thread is set, it runs at once on
// the calling thread. Returns false when the main thread had not begun it within `timeoutMs`
// (then it is withdrawn and never runs); a method already begun is waited for. An exception
// that `method` raises on the main thread is raised again in the caller.
bool SynchronizeCall(const std::function<void()>& method, uint32_t timeoutMs);

// Queues `method` for the main thread without waiting; also on the main thread itself it only
// queues (it runs at the next CheckSynchronize). With no main thread set it runs at once. What
// a queued method raises is written to stderr (nothing for EAbort) and dropped, also when it
// ran at once.
void QueueCall(std::function<void()> method);

// Runs the methods queued when it is called, in order; the main thread's event loop (or a
// test's loop) calls it. Returns the number run; 0 when called off the main thread. Any thread
// may install a wake-up hook (an empty function removes it) that is called after each queueing,
// on the queueing thread and outside the queue's lock, so that an event loop can schedule
// CheckSynchronize.
int CheckSynchronize();
void SetSynchronizeWakeUp(std::function<void()> wakeUp);

}  // namespace cls
