// TClientThread: the receive side of one connection. It drains the slot's ToClient ring, turns
// each server record into an application message and queues it for DRAL_GetMessage, hands
// filter replies to the application thread that waits for one, reassembles incoming J1939
// transfers (TTransportReceive), updates the handshakes of outgoing ones (TTransportThread) and
// defends the connection's claimed J1939 addresses.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "DRAL.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "client/TransportReceive.h"

namespace dral {

// Longest application message a connection queues (DecodeServerMessage writes at most this).
inline constexpr uint16_t kQueuedMessageBytes = app::kMaxReceivedLength;
// Receive loop: wait this long for the slot's event before looking at the ring anyway.
inline constexpr uint32_t kReceiveWaitMs = 10;
// Receive loop: J1939 transport sessions are checked for time-outs at least this far apart.
inline constexpr uint32_t kSessionCheckIntervalMs = 25;
// Packets granted per CTS to a peer's multi-packet transfer.
inline constexpr uint8_t kMaxPacketsPerCts = 100;
// Contests of a claimed address answered in all (since the claim) before it is given up.
inline constexpr uint32_t kMaxAddressContests = 10;

class TCMHandshake;

// What a transfer's thread reads of its handshake, in one piece.
struct HandshakeView {
  uint8_t State = 0;
  uint8_t NextPacket = 0;
  uint8_t PacketsAllowed = 0;
  uint16_t Updates = 0;
};

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

class TClientThread : public cls::TThread, private TransportReceiveSink {
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

  // J1939 address claims, per channel index (0: channel 1, 1: channel 2). A claim is held from
  // BeginClaim until it is released or lost; the slot's ClaimedAddress is the server's record
  // of it. Only a held address is defended, and only a held address sends to one node.
  void BeginClaim(int channel, uint8_t address);
  void EndClaim(int channel) { held_[channel].store(kNoAddress, std::memory_order_release); }
  uint8_t HeldAddress(int channel) const { return held_[channel].load(std::memory_order_acquire); }
  // Clears every claim (a new connection holds none).
  void SetAddressHeld(bool held);
  bool AddressHeld() const;  // on either channel
  // The address of `channel` (1 or 2) is lost: no longer held, the slot's record cleared, the
  // cannot-claim message (the claim from the null address with our NAME) sent, and then the
  // callback called with the address. Runs on this thread.
  void LoseAddress(uint8_t channel);
  uint32_t ContestCount() const { return contestCount_.load(std::memory_order_acquire); }

  // Handshakes of outgoing transfers (their threads call these). AddHandshake lists a new
  // handshake (null when out of memory); RemoveHandshake unlists and frees it.
  TCMHandshake* AddHandshake(uint32_t pgn, uint8_t source, uint8_t destination);
  void RemoveHandshake(TCMHandshake* handshake);
  HandshakeView ReadHandshake(const TCMHandshake& handshake);
  // Packet `sequence` went out: the handshake advances unless a newer CTS has moved it.
  void PacketSent(TCMHandshake& handshake, uint8_t sequence);
  // A window has been sent: what the CTS of `view` granted beyond it is void (the sender waits
  // for the next CTS), unless a newer CTS came meanwhile.
  void EndWindow(TCMHandshake& handshake, const HandshakeView& view);

  // True when called on this thread (from code that Execute calls, such as a callback).
  bool IsCurrentThread() const {
    return runningId_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

 protected:
  void Execute() override;

 private:
  void DrainRing();
  void HandleJ1939Control(const HuxMessage& message);
  void HandleConnectionControl(const J1939Frame& frame);
  void HandleAddressClaimed(const HuxMessage& message, const J1939Frame& frame);
  void UpdateHandshake(const J1939Frame& frame, const j1939::ConnectionControl& control);
  void HandleTransportResult(const HuxMessage& message);
  void CheckSessionTimeouts();
  void QueueDecoded(RecordView record);

  // TransportReceiveSink
  uint8_t OurAddress(uint8_t channelBits) override;
  void SendControl(const HuxMessage& reply) override;
  void DeliverMessage(const uint8_t* message, uint16_t length) override;

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

  std::atomic<uint8_t> held_[2] = {kNoAddress, kNoAddress};  // per channel; kNoAddress: none
  std::atomic<uint32_t> contestCount_{0};
  std::atomic<DRAL_AddressLostCallback> addressLostCallback_{nullptr};

  TTransportReceive receive_;  // receive thread only

  cls::Mutex handshakeLock_;  // HandshakeLock: also guards the handshakes' updates
  std::list<std::unique_ptr<TCMHandshake>> handshakes_ GUARDED_BY(handshakeLock_);

  std::atomic<std::thread::id> runningId_{};
};

}  // namespace dral
