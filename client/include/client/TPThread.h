// Multi-packet J1939 sends: each runs on a TTransportThread of its own, as a broadcast announce
// (BAM) and its packets, as an RTS/CTS connection to one node, or, when the adapter runs the
// transport itself, as one MsgJ1939Transport record. The state of an RTS/CTS or adapter-side
// transfer is a TCMHandshake that the connection's receive thread updates from the replies it
// receives. TTransportList holds every unfinished send of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "channel/ChannelBlock.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"

namespace dral {

class TClientThread;
class TTransportList;

// Time limits of a send.
inline constexpr uint32_t kBamPacketSpacingMs = 50;
inline constexpr uint32_t kCtsTimeoutMs = 1250;
inline constexpr uint32_t kAdapterTransportTimeoutMs = 5000;
inline constexpr uint32_t kHandshakePollMs = 1;
inline constexpr uint32_t kAdapterPollMs = 2;
// Sent per CTS, whatever it grants; the RTS announces it as its most packets per CTS.
inline constexpr uint8_t kMaxPacketsPerWindow = 100;

// The state of one outgoing RTS/CTS or adapter-side transfer. Written by the receive thread
// under its handshake lock; read by the transfer's thread under the same lock. The fields are
// atomics so that no read is a data race even without it.
class TCMHandshake {
 public:
  enum : uint8_t { StateNone = 0, StateClearToSend = 17, StateComplete = 19, StateAborted = 255 };

  TCMHandshake(uint32_t pgn, uint8_t source, uint8_t destination)
      : Pgn(pgn), SourceAddress(source), DestinationAddress(destination) {}

  bool Matches(uint32_t pgn, uint8_t source, uint8_t destination) const {
    return Pgn == pgn && SourceAddress == source && DestinationAddress == destination;
  }
  void SetClearToSend(uint8_t packetsAllowed, uint8_t nextPacket);
  void SetComplete();
  void SetAborted();

  const uint32_t Pgn;  // PS | PF << 8 | data page << 16
  const uint8_t SourceAddress;
  const uint8_t DestinationAddress;
  std::atomic<uint8_t> State{StateNone};
  std::atomic<uint8_t> NextPacket{0};
  std::atomic<uint8_t> PacketsAllowed{0};
  std::atomic<uint16_t> Updates{0};
};

// One multi-packet send. Created suspended by TDralClient::StartTransport from a J1939 message
// of 16..1792 bytes, listed in the process's TTransportList, started; it ends by itself (or
// when terminated) and marks itself finished in the list, which then joins and frees it.
class TTransportThread : public cls::TThread {
 public:
  // `message` is a J1939 application message of `length` bytes (copied). `queue` and
  // `clientThread` are the connection's (not owned): the list's owner ends and joins this
  // thread before either is freed.
  TTransportThread(bool createSuspended, uint16_t length, const uint8_t* message, THuxQueue* queue,
                   TClientThread* clientThread);
  ~TTransportThread() override;

  uint8_t DestinationAddress() const { return destinationAddress_; }
  // The list that holds this thread (set by TTransportList::AddUnlessBusy before the start).
  void SetList(TTransportList* list) { list_ = list; }
  // DRAL_OK once the transfer succeeded; DRAL_ERR_SEND_FAILED until then.
  uint32_t Outcome() const { return outcome_.load(std::memory_order_acquire); }

 protected:
  void Execute() override;

 private:
  void SendBroadcast();
  void SendConnectionMode();
  void SendViaAdapter();
  // Puts `m` into the ToServer ring and wakes the server; one more try `retryMs` later.
  bool PutTwice(const HuxMessage& m, uint32_t retryMs);
  bool Put(const HuxMessage& m);
  HuxMessage Packet(uint8_t source, uint8_t destination, uint8_t sequence) const;
  // Sends the packets the latest CTS granted (at most kMaxPacketsPerWindow).
  void SendWindow(TCMHandshake& handshake);

  THuxQueue* const queue_;
  ClientSlot* const slot_;
  TClientThread* const clientThread_;
  TTransportList* list_ = nullptr;
  std::atomic<uint32_t> outcome_;
  uint8_t channelBits_ = 0;
  uint8_t sourceAddress_ = 0;
  uint8_t destinationAddress_ = 0;
  uint8_t pduSpecific_ = 0;
  uint8_t pduFormat_ = 0;
  uint8_t priorityDataPage_ = 0;
  uint8_t totalPackets_ = 0;
  uint16_t totalSize_ = 0;
  uint8_t pgn_[j1939::kPgnBytes] = {0, 0, 0};
  uint8_t data_[j1939::kMaxTransportBytes];
};

// The unfinished multi-packet sends of the process, of all connections (TransportList, guarded
// by TransportLock). The list owns the threads: a finished one is joined and freed by the next
// Reap (each StartTransport and the receive threads' periodic checks reap), and a connection's
// own are ended and joined by StopFor before the connection frees its queue and receive
// thread, so no send ever uses either after it was freed, and none runs on in the library's
// code after an unload.
//
// Threads: every member may be called from any thread, except that StopFor and StopAll must
// not be called from a transfer's own thread.
class TTransportList {
 public:
  explicit TTransportList(uint32_t generation) : generation_(generation) {}
  TTransportList(const TTransportList&) = delete;
  TTransportList& operator=(const TTransportList&) = delete;

  uint32_t Generation() const { return generation_; }

  // True when an unlisted-yet-unfinished send goes to `destination` (of any connection and
  // either channel) and has not succeeded.
  bool IsBusy(uint8_t destination) const;
  // Lists `thread` (not yet started) for `owner` unless a send to the same destination is busy;
  // returns the thread, or null (then `thread` is freed) when busy.
  TTransportThread* AddUnlessBusy(std::unique_ptr<TTransportThread> thread, const void* owner);
  // Unlists and frees a thread that AddUnlessBusy listed but that could not be started.
  void RemoveUnstarted(TTransportThread* thread);
  // Called by a thread at the end of its transfer: it no longer counts as busy.
  void Finished(TTransportThread* thread);
  // Joins and frees every finished thread.
  void Reap();
  // Ends every send of `owner` (all, for StopAll) and waits until each thread has ended; each
  // looks at its stop flag between bounded steps, so this takes at most about one put.
  void StopFor(const void* owner);
  void StopAll();
  size_t Count() const;

 private:
  struct Entry {
    std::unique_ptr<TTransportThread> Thread;
    const void* Owner = nullptr;
    bool Finished = false;
  };
  using Entries = std::list<Entry>;
  void Stop(Entries& ended);

  const uint32_t generation_;
  mutable cls::Mutex transportLock_;  // TransportLock
  Entries entries_ GUARDED_BY(transportLock_);
  size_t finishedCount_ GUARDED_BY(transportLock_) = 0;
};

// The process's list. In a child made by fork() the first call makes a fresh one: the
// inherited one names the parent's threads, which the child lacks, and stays untouched.
TTransportList& ProcessTransportList();

}  // namespace dral
