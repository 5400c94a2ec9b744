// TClientThread: the receive side of one connection. It drains the slot's ToClient ring, turns
// each server record into an application message and queues it for DRAL_GetMessage, and hands
// filter replies to the application thread that waits for one.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "DRAL.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"

namespace dral {

// Longest application message a connection queues (DecodeServerMessage writes at most this).
inline constexpr uint16_t kQueuedMessageBytes = app::kMaxReceivedLength;
// Receive loop: wait this long for the slot's event before looking at the ring anyway.
inline constexpr uint32_t kReceiveWaitMs = 10;
// Receive loop: J1939 transport sessions are checked for time-outs at least this far apart.
inline constexpr uint32_t kSessionCheckIntervalMs = 25;
// Packets granted per CTS to a peer's multi-packet transfer.
inline constexpr uint8_t kMaxPacketsPerCts = 100;

// One received application message, held in its own size: an application that reads slowly
// behind a pass-all filter keeps many small frames queued, and a record of the longest size
// for each would cost 2 KB per frame.
struct QueuedMessage {
  uint32_t Tick = 0;  // GetTickCount when queued
  uint16_t Length = 0;
  std::unique_ptr<uint8_t[]> Message;  // Length bytes
};

// A queued message holding a copy of `length` bytes (at most kQueuedMessageBytes); without
// Message when memory ran out.
QueuedMessage MakeQueuedMessage(const uint8_t* bytes, uint16_t length, uint32_t tick);

class TClientThread : public cls::TThread {
 public:
  // `queue` is the connection's channel (not owned; null makes a thread that only holds a
  // message queue, which is what the tests of the queue use). The thread runs at the highest
  // priority once started.
  TClientThread(bool createSuspended, THuxQueue* queue);
  ~TClientThread() override;  // stops and joins the thread when it still runs

  // Handles one server record: filter-reply hand-off, J1939 control and transport results,
  // and queueing of deliverable messages. Runs on this thread; public for the tests.
  void DispatchServerMessage(const HuxMessage& message);

  // Appends a message to the queue (receive thread); one without Message is not queued. The
  // queue has no bound: every message in it is one the application can still read.
  void PushMessage(QueuedMessage message);
  // Takes the oldest message (application threads). Returns its length after copying it to
  // `buffer`, or 0 when none is queued or the message is longer than `size`: that message is
  // then discarded, so the next call returns the next one.
  uint16_t PopMessage(uint8_t* buffer, uint16_t size);
  void ClearMessages();
  size_t QueuedCount() const { return queuedCount_.load(std::memory_order_acquire); }

  // Filter-reply hand-off with one application thread (the connection serialises requests).
  // Arm before the request is put: the reply may be taken as soon as the request is in the ring.
  void ArmReply(uint8_t requestType);
  void DisarmReply() { awaitingReply_.store(false, std::memory_order_release); }
  bool AwaitingReply() const { return awaitingReply_.load(std::memory_order_acquire); }
  // Valid once AwaitingReply() turned false after an ArmReply.
  uint8_t ReplyResult() const { return replyResult_.load(std::memory_order_acquire); }

  void SetAddressLostCallback(DRAL_AddressLostCallback callback) {
    addressLostCallback_.store(callback, std::memory_order_release);
  }
  DRAL_AddressLostCallback AddressLostCallback() const {
    return addressLostCallback_.load(std::memory_order_acquire);
  }
  void SetAddressHeld(bool held) { addressHeld_.store(held, std::memory_order_release); }
  bool AddressHeld() const { return addressHeld_.load(std::memory_order_acquire); }

  // True when called on this thread (from code that Execute calls, such as a callback).
  bool IsCurrentThread() const {
    return runningId_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

 protected:
  void Execute() override;

 private:
  void DrainRing();
  void HandleJ1939Control(const HuxMessage& message);
  void HandleTransportResult(const HuxMessage& message);
  void CheckSessionTimeouts();

  THuxQueue* const queue_;
  ClientSlot* const slot_;
  HuxMessage readBuffer_;  // the record being dispatched; receive thread only
  uint8_t decodeBuffer_[kQueuedMessageBytes];  // its application message; receive thread only

  // Guards messages_. Held only for one list operation (never during a copy or an allocation
  // that could wait), so waiting for it is short without a time-out.
  cls::Mutex messageMutex_;
  std::deque<QueuedMessage> messages_ GUARDED_BY(messageMutex_);
  std::atomic<size_t> queuedCount_{0};  // size of messages_, read without the mutex

  std::atomic<bool> awaitingReply_{false};
  std::atomic<uint8_t> awaitedType_{0};
  std::atomic<uint8_t> replyResult_{0};

  std::atomic<bool> addressHeld_{false};
  std::atomic<DRAL_AddressLostCallback> addressLostCallback_{nullptr};

  std::atomic<std::thread::id> runningId_{};
};

}  // namespace dral
