// The port's event thread: waits for the device's comm events and hands each batch to the
// port's notification layer in the way the port's SyncMethod selects.
//
//  - smThreadSync: the batch runs on the main thread through the Synchronize queue
//    (classlib/synchronize.h) while the event thread waits for it.
//  - smWindowSync: one message per event goes to the port's notification window (a queue of the
//    main thread, below); the event thread goes on as soon as the main thread took the message.
//  - smNone: the batch runs on the event thread; its handlers must not wait for the main thread.
//
// Within a batch the events go in this order: evError, evRxChar, evTxEmpty, evBreak, evRing,
// evCTS, evDSR, evRxFlag, evRLSD, evRx80Full. What a handler raises is caught per event (the
// batch goes on) and handed to the port's OnException on the main thread; a wait that fails
// (the device hung up) is reported the same way once, as EComPort code 21, and ends the thread.
//
// Stop, from the owner's thread, sets the stop event: the device wait wakes at once, a
// Synchronize call not yet begun is withdrawn, and a batch the main thread begins after Stop
// does nothing. The destructor stops and joins; on the main thread the join serves the
// Synchronize queue, so closing the port from the main thread never waits on a thread that
// waits for the main thread. A handler of a batch under smThreadSync or smNone must not close
// (or free) its own port: that close would wait for the thread which waits for the handler, so
// the port refuses such a Close (it raises instead of waiting for ever).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

#include "classlib/thread.h"
#include "comport/CPort.h"
#include "plat/poll_event.h"
#include "plat/serial_device.h"

namespace comport {

// The notification window of smWindowSync: messages queued to the main thread for the port's
// WindowMethod. Send returns once the main thread took the message, before the notification
// runs. After Release no message reaches the port (those still queued are dropped) and every
// sender returns.
class TComWindow {
 public:
  static constexpr uint32_t kMessage = 1024 + 1;  // WM_USER + 1

  explicit TComWindow(TCustomComPort* port);
  ~TComWindow();  // releases
  TComWindow(const TComWindow&) = delete;
  TComWindow& operator=(const TComWindow&) = delete;

  // Queues `message` with `wParam` and waits until the main thread took it, or until `stop` is
  // set or the window released (false: the message will not be delivered).
  bool Send(uint32_t message, uint32_t wParam, const std::atomic<bool>& stop);
  void Release();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

class TComThread : public cls::TThread {
 public:
  // Sets the priority from the port's EventThreadPriority, takes the port's Events as its mask
  // and creates the notification window for smWindowSync. The creator then calls Start (not
  // the constructor: a derived class must be complete before Execute runs).
  explicit TComThread(TCustomComPort* port);
  // Stop, then waits for the thread to end.
  ~TComThread() override;

  // Ends the thread's wait and its pending hand-over to the main thread; returns at once.
  void Stop();
  // The events of the last completed wait.
  TComEvents Events() const { return TComEvents::FromBits(events_.load()); }
  // True on the thread that runs one of this thread's batches right now (inside DoEvents).
  bool InBatchOnThisThread() const;

 protected:
  void Execute() override;
  // Hands the last events on as SyncMethod says.
  void DispatchComMsg();
  // Runs the port's notification of each event, in the batch order.
  void DoEvents();
  // Sends one window message per event, in the batch order.
  void SendEvents();
  // For the tests: the events the next DispatchComMsg hands on.
  void SetEvents(TComEvents events) { events_.store(events.Bits()); }

 private:
  // Hands `failure` to the port's OnException on the main thread.
  void Report(std::exception_ptr failure);

  TCustomComPort* const port_;  // not owned; outlives the thread
  const uint32_t mask_;
  const TSyncMethod syncMethod_;
  plat::PollEvent stopEvent_;  // StopEvent: closed with the object, after the join
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> events_{0};
  std::unique_ptr<TComWindow> window_;  // smWindowSync only
  // Lets reports still queued for the main thread find out whether the port is still there:
  // they run on the main thread, which also ends this object.
  std::shared_ptr<TCustomComPort*> reportTarget_;
};

}  // namespace comport
