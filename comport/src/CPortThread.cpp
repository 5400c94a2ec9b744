// The port's event thread, its notification window and the dispatch of one batch of events.
#include "comport/CPortThread.h"

#include <chrono>
#include <condition_variable>
#include <utility>

#include "classlib/synchronize.h"

namespace comport {
namespace {

// The order in which the events of one batch reach the port.
constexpr TComEvent kBatchOrder[] = {
    TComEvent::evError, TComEvent::evRxChar, TComEvent::evTxEmpty, TComEvent::evBreak,
    TComEvent::evRing,  TComEvent::evCTS,    TComEvent::evDSR,     TComEvent::evRxFlag,
    TComEvent::evRLSD,  TComEvent::evRx80Full};

// A device wait ends this often to look at the stop flag, in case the stop event could not be
// made (no descriptor left); the event itself ends it at once.
constexpr uint32_t kWaitSliceMs = 1000;
// A Synchronize call not yet begun is withdrawn this often to look at the stop flag, so that a
// stop from a thread other than the main thread still ends the hand-over.
constexpr uint32_t kSyncSliceMs = 100;
// A window sender looks at the stop flag this often (Stop also wakes it at once).
constexpr auto kSendSlice = std::chrono::milliseconds(100);

// The event thread whose batch runs on this thread now (null: none).
thread_local const TComThread* tBatchOf = nullptr;

}  // namespace

// --- the notification window ---

struct TComWindow::State {
  cls::Mutex Mutex;  // guards the fields below
  std::condition_variable_any Taken;  // a message was taken, or the window released
  bool Released GUARDED_BY(Mutex) = false;
  uint64_t Sent GUARDED_BY(Mutex) = 0;   // messages queued so far
  uint64_t Took GUARDED_BY(Mutex) = 0;   // of them, taken by the main thread (they go in order)
  TCustomComPort* Port = nullptr;  // used only while not released
};

TComWindow::TComWindow(TCustomComPort* port) : state_(std::make_shared<State>()) {
  state_->Port = port;
}

TComWindow::~TComWindow() { Release(); }

bool TComWindow::Send(uint32_t message, uint32_t wParam, const std::atomic<bool>& stop) {
  uint64_t number;
  {
    cls::MutexLock lock(state_->Mutex);
    if (state_->Released) return false;
    number = ++state_->Sent;
  }
  cls::QueueCall([state = state_, number, message, wParam] {
    {
      cls::MutexLock lock(state->Mutex);
      if (state->Released) return;
      // The sender goes on before the notification runs.
      state->Took = number;
      state->Taken.notify_all();
    }
    state->Port->WindowMethod(message, wParam);
  });
  cls::MutexLock lock(state_->Mutex);
  while (state_->Took < number && !state_->Released && !stop.load(std::memory_order_acquire))
    state_->Taken.wait_for(state_->Mutex, kSendSlice);
  return state_->Took >= number;
}

void TComWindow::Release() {
  cls::MutexLock lock(state_->Mutex);
  state_->Released = true;
  state_->Taken.notify_all();
}

// --- the port's side ---

void TCustomComPort::CallComEvent(TComEvent event) {
  switch (event) {
    case TComEvent::evRxChar: CallRxChar(); break;
    case TComEvent::evTxEmpty: CallTxEmpty(); break;
    case TComEvent::evRxFlag: CallRxFlag(); break;
    case TComEvent::evRing: CallRing(); break;
    case TComEvent::evBreak: CallBreak(); break;
    case TComEvent::evCTS: CallCTSChange(); break;
    case TComEvent::evDSR: CallDSRChange(); break;
    case TComEvent::evError: CallError(); break;
    case TComEvent::evRLSD: CallRLSDChange(); break;
    case TComEvent::evRx80Full: CallRx80Full(); break;
  }
}

void TCustomComPort::WindowMethod(uint32_t message, uint32_t wParam) {
  if (message != TComWindow::kMessage || !Connected()) return;
  for (TComEvent event : kBatchOrder) {
    if (EventsToInt(TComEvents{event}) != wParam) continue;
    try {
      CallComEvent(event);
    } catch (...) {
      HandleDispatchException(std::current_exception());
    }
    return;
  }
}

void TCustomComPort::HandleDispatchException(const std::exception_ptr& failure) {
  if (!OnException.IsSet()) std::rethrow_exception(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    OnException(e);
  } catch (...) {
    OnException(cls::Exception("Unknown exception in an event handler"));
  }
}

// --- the thread ---

TComThread::TComThread(TCustomComPort* port)
    : cls::TThread(true),
      port_(port),
      mask_(EventsToInt(port->Events())),
      syncMethod_(port->SyncMethod()),
      reportTarget_(std::make_shared<TCustomComPort*>(port)) {
  SetPriority(port->EventThreadPriority());
  if (syncMethod_ == TSyncMethod::smWindowSync) window_ = std::make_unique<TComWindow>(port);
}

TComThread::~TComThread() {
  Stop();
  WaitFor();  // every pass of Execute is bounded once stopped
  window_.reset();
}

void TComThread::Stop() {
  stopping_.store(true, std::memory_order_release);
  stopEvent_.Set();
  if (window_) window_->Release();
}

void TComThread::Execute() {
  plat::SerialDevice::EventWatch watch;
  while (!stopping_.load(std::memory_order_acquire)) {
    uint32_t occurred = 0;
    const int err = port_->Device().WaitCommEvent(mask_, &occurred, &stopEvent_, kWaitSliceMs, watch);
    if (stopping_.load(std::memory_order_acquire)) break;
    if (err != 0) {
      // A device that failed (hung up) fails every later wait at once: report it and end.
      Report(std::make_exception_ptr(EComPort(CError_WaitFailed, err)));
      break;
    }
    if (occurred == 0) continue;
    events_.store(IntToEvents(occurred).Bits(), std::memory_order_release);
    DispatchComMsg();
  }
  // What the device still holds is dropped with the thread; a failed device has nothing to drop.
  port_->Device().Purge(plat::kPurgeTxClear | plat::kPurgeRxClear);
}

void TComThread::DispatchComMsg() {
  switch (syncMethod_) {
    case TSyncMethod::smThreadSync: {
      // A batch that the main thread begins after Stop does nothing: Close serves the queue
      // while it waits for this thread, and the port is on its way to closed by then.
      const auto batch = [this] {
        if (!stopping_.load(std::memory_order_acquire)) DoEvents();
      };
      while (!stopping_.load(std::memory_order_acquire) &&
             !cls::SynchronizeCall(batch, kSyncSliceMs)) {
      }
      break;
    }
    case TSyncMethod::smWindowSync: SendEvents(); break;
    case TSyncMethod::smNone: DoEvents(); break;
  }
}

bool TComThread::InBatchOnThisThread() const { return tBatchOf == this; }

void TComThread::DoEvents() {
  struct BatchMark {
    const TComThread* Outer = tBatchOf;
    explicit BatchMark(const TComThread* self) { tBatchOf = self; }
    ~BatchMark() { tBatchOf = Outer; }
  } mark(this);
  const TComEvents events = Events();
  for (TComEvent event : kBatchOrder) {
    if (!events.Contains(event)) continue;
    try {
      port_->CallComEvent(event);
    } catch (...) {
      Report(std::current_exception());
    }
  }
}

void TComThread::SendEvents() {
  const TComEvents events = Events();
  for (TComEvent event : kBatchOrder) {
    if (!events.Contains(event)) continue;
    if (!window_->Send(TComWindow::kMessage, EventsToInt(TComEvents{event}), stopping_)) return;
  }
}

void TComThread::Report(std::exception_ptr failure) {
  // Queued, never waited for: the event thread must not wait for the main thread here, which
  // may itself wait for this thread's walk over the links.
  cls::QueueCall([target = std::weak_ptr<TCustomComPort*>(reportTarget_),
                  failure = std::move(failure)] {
    if (const auto port = target.lock()) (*port)->HandleDispatchException(failure);
    else std::rethrow_exception(failure);
  });
}

}  // namespace comport
