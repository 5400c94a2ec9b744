// TDralServer: the request server. It owns the server side of the client channel, the link
// manager and the wait thread; it drains the clients' requests, forwards what is meant for the
// adapter, answers filter edits, copies transmitted traffic to the other clients, and routes
// the adapter's messages to the clients by their filters.
//
// Threads:
//  - ProcessClientQueues (the server pass) runs on the wait thread, or on a test's thread when
//    the wait thread is not started; passMutex_ makes the pass non-reentrant, so a test may
//    also call it while the wait thread runs.
//  - OnAdapterMessage and OnLinkChanged run on the link manager's thread.
//  - The accessors, DisableChannels, SetJ1708RawMode and SetLogging run on the main thread.
// Deliveries run on both the pass and the link manager's thread; each holds the channel mutex
// from its choice of slots to its last put, and the pass holds it for each request from its
// peek to its removal, so a slot's next holder never gets what was meant for the previous one.
// A delivery only marks its client; each client is woken once at the end of the pass or of the
// link manager's batch that put records into its ring (SignalPendingClients), not once per
// record. Raw modes, the pause, the counters and LastCommand are atomics because one thread
// writes what the others read.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "channel/ChannelBlock.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "channel/Vocabulary.h"
#include "classlib/ThreadSafety.h"
#include "plat/event.h"
#include "server/Filters.h"
#include "server/HuxMgr.h"
#include "server/WaitThread.h"

namespace dral {


// "No slot": the excluded slot of a delivery of adapter traffic.
constexpr int kNoSlot = -1;

class TDralServer {
 public:
  // While the adapter reports its buffer full no client is drained, until this long after the
  // report.
  static constexpr uint32_t kPauseMs = 50;
  // Dropped frames are reported in the debug output at most this often (the pass reports them,
  // so every drop is reported within this time and one pass).
  static constexpr uint32_t kDropReportMs = 1000;
  // The pass looks for slots and attach counts of dead applications at most this often.
  static constexpr uint32_t kReclaimIntervalMs = 200;

  struct Options {
    // The link manager's link factories; without them it uses the process-wide LinkFactories.
    std::optional<LinkFactoryTable> Links;
    // false: the wait thread is created but never started, and the server pass runs only when
    // someone calls ProcessClientQueues (tests that need every pass under their control).
    bool StartWaitThread = true;
    // The wait thread's longest wait between passes.
    uint32_t RoundTimeoutMs = TWaitThread::kRoundTimeoutMs;
    // The claim on the channel that the program made at its start; without one the server
    // claims the channel itself, and throws cls::Exception when another server holds it.
    std::shared_ptr<TServerLock> Instance;
  };

  TDralServer();
  explicit TDralServer(Options options);
  // Stops the wait thread and the link manager first, then closes the client events (nothing
  // can signal them any more), writes LinkNoServer into the header and closes the channel.
  ~TDralServer();
  TDralServer(const TDralServer&) = delete;
  TDralServer& operator=(const TDralServer&) = delete;

  // --- the server pass and the link manager's handlers ------------------------------------------
  // One pass over the 16 slots. A request is removed only when handled; one that cannot be sent
  // stays at the head of its ring and blocks only its own client until a later pass. Every
  // kReclaimIntervalMs a pass first frees the slots and takes back the attach counts of
  // applications that died (THuxQueue::FreeDeadSlots, TakeBackDeadAttachCounts) and merges the
  // filters again without the freed slots.
  void ProcessClientQueues();
  // A message from the adapter; may change `message` (raw J1939 network management is turned
  // into a plain frame, a J1708 frame's length is adjusted for raw mode).
  void OnAdapterMessage(HuxMessage& message);
  // 1: the link came up, the adapter's filters are resent; 0: it went down.
  void OnLinkChanged(uint8_t up);

  // Adapter replies, adapter data 0x09 and transport results to the clients that asked.
  void DeliverResponse(const HuxMessage& message, int excludedSlot = kNoSlot);
  // Pulses the slot's client event; nothing for a slot outside 0..15 or a missing event.
  void SignalClient(int slot);
  // Pulses every client that deliveries have marked since the last call, once each. Runs at the
  // end of every pass and as the link manager's AdapterBatchEndHandler; any thread.
  void SignalPendingClients();

  // Appends the J1708 checksum over Data[3..Length-1] and raises the 9-bit length by one.
  // False, with the message unchanged, when the frame has no MID or Length is already
  // kHuxMaxData (no room for the checksum).
  static bool AppendJ1708Checksum(HuxMessage& message);
  void HandleJ1708RawMode(const HuxMessage& message);
  void HandleJ1939RawMode(const HuxMessage& message);

  // --- filters (ServerFilters.cpp) ---------------------------------------------------------------
  // Apply a client's filter edit, put the reply into its ToClient ring (without a signal) and,
  // on success, resend the merged filter of that channel. An edit too short for its operation
  // gets a failure reply (ErrorCode 0) per channel it names; one that names no channel gets
  // one failure reply.
  void EditJ1939Filter(int slot, const HuxMessage& request);
  void EditCanFilter(int slot, const HuxMessage& request);
  void EditJ1708Filter(int slot, const HuxMessage& request);
  // Merge the active clients' tables of a channel (0 or 1) into adapter commands and send them
  // as one piece; tables of inactive slots are cleared on the way. A merge the transmit ring
  // refuses is sent again, whole, by the next passes while the link is up.
  void SyncJ1939Filter(int channel);
  void SyncCanFilter(int channel);
  void SyncJ1708Filter();
  // SyncJ1939Filter and SyncCanFilter for both channels.
  void SyncIdFilters();
  // Copy a frame into the ToClient ring of every active client other than `excludedSlot`
  // whose filter passes it, and signal each. `message` must hold a whole frame header
  // (5 bytes for CAN and J1939, header and MID for J1708); shorter ones reach nobody.
  // DeliverJ1939 also takes a client's whole J1939 message for the adapter's transport
  // (MsgJ1939Transport, kJ1939TransportFixed bytes at least): it is copied unchanged (the
  // receive thread decodes that layout) to the clients whose J1939 filter passes its
  // identifier on the bus (J1939TransportFilterId).
  void DeliverJ1939(const HuxMessage& message, int excludedSlot);
  void DeliverCan(const HuxMessage& message, int excludedSlot);
  // Settles the 9-bit length first (raw mode, checksum check, the server's own checksum), so
  // it changes `message`.
  void DeliverJ1708(HuxMessage& message, int excludedSlot);

  // --- J1939 network management (ServerJ1939.cpp) -------------------------------------------------
  // A client's type-0x35 request: acknowledgements, requests and transport frames go to the
  // adapter and then to the other clients (DeliverNetworkManagement, or by filter in raw mode);
  // address claims go to ClaimAddress; anything else is dropped. True when handled.
  bool HandleNetworkManagement(int slot, HuxMessage& message);
  // A client's address claim on the channels of Data[0]: stores the address and NAME in the
  // slot's record of each channel, sends one claim frame per channel, and then puts a clash
  // notice into the claimant's ring for every other client that holds the address there. A
  // claim frame the link manager refuses leaves the request to be repeated whole, and no
  // notice is put until every frame went out, so a notice is never followed by a store of its
  // request. A claim shorter than 13 bytes or for an address above 253 is refused: nothing
  // stored, sent or noticed. Returns true when handled.
  bool ClaimAddress(int slot, HuxMessage& message);
  // Routes a type-0x35 message to the clients: TP.DT and TP.CM by their open J1939 filters
  // (RTS and BAM by the identifier of the message they announce), address claims to the
  // holders of the claimed address and, as a plain frame, by filter. `excludedSlot` (the
  // sender) gets nothing back. May change `message` (an address claim's Type).
  void DeliverNetworkManagement(HuxMessage& message, int excludedSlot);
  // Sends the claim frame of every client's held address on the channels of `channelBits`;
  // with `onlyAddress` other than the global address, only the claim of that address.
  void ResendAddressClaims(uint8_t channelBits, uint8_t onlyAddress = j1939::kGlobalAddress);
  // A request for the address-claimed PGN from the bus is answered as every holder of an
  // address answers it: a global one with the claims held on its channel, one to an address
  // with the claim of that address (when a client holds it). Link manager's thread.
  void AnswerClaimRequestFromBus(const HuxMessage& message);
  // After a global request for the address-claimed PGN went out, the claims are re-sent this
  // long after it (at the end of the pass, outside the channel mutex).
  static constexpr uint32_t kClaimResendDelayMs = 5;

  // --- for the main form ------------------------------------------------------------------------
  uint16_t RingCount(int slot, bool toClient);
  bool IsSlotActive(int slot) const;
  uint16_t SlotMask() const;
  uint16_t AttachCount() const;
  // Advanced by every process that loads the library (see ChannelHeader::AttachSerial).
  uint16_t AttachSerial() const;
  void SetLogging(uint8_t logging);
  void PortName(std::string& text);
  void PortInfo(std::string& text);
  // Major version << 8 | minor version.
  uint16_t AdapterVersion() const;
  // Switches CAN1, CAN2 and J1708 off at the adapter.
  void DisableChannels();
  void SetJ1708RawMode(uint8_t on);
  ServerStatistics Statistics() const;

  uint8_t J1708RawMode() const { return j1708RawMode_.load(std::memory_order_relaxed); }
  uint8_t J1939RawMode() const { return j1939RawMode_.load(std::memory_order_relaxed); }
  // True while the adapter's refusal keeps the pass from draining rings.
  bool Paused() const { return pause_.load(std::memory_order_acquire) != 0; }

  THuxQueue& Channel() { return *channel_; }
  THuxMgr& LinkManager() { return *linkMgr_; }

 private:
  // Dispatches one request of `slot`; true when handled (the record is removed).
  bool DispatchLocked(int slot, HuxMessage& message) REQUIRES(*channel_);
  bool SendAndCopy(int slot, HuxMessage& message);
  bool Send(const HuxMessage& message);
  // Queues a merge's commands as one piece (THuxMgr::SendTogether): the adapter gets all of
  // them or none. True when queued.
  bool SendCommands(const AdapterCommandList& commands);
  // A merge the transmit ring refused is owed: every pass while the link is up merges that
  // channel again, whole, until it goes out. One bit per merge: J1939 channel 0 and 1, CAN
  // channel 0 and 1, J1708.
  static uint8_t MergeBit(IdFilterKind kind, int channel);
  static constexpr uint8_t kMergeJ1708 = 1u << 4;
  void NoteMergeResult(uint8_t bit, bool sent);
  void SendOwedMerges();
  // A CAN channel is usable when available and not in error; `channelBits` bit 0 names CAN1,
  // otherwise CAN2.
  bool ChannelUsable(uint8_t channelBits) const;
  void PutReply(int slot, uint8_t requestType, bool ok, uint8_t errorCode);
  void Deliver(int slot, const HuxMessage& message);
  // Delivers `message` to every active slot but `excludedSlot` whose tables `passes`, holding the
  // channel mutex from the choice of slots to the last put.
  template <typename Passes>
  void DeliverWhere(const HuxMessage& message, int excludedSlot, Passes passes) {
    TChannelLock hold(*channel_, kChannelLockTimeoutMs);
    if (!hold.Owned()) return;
    for (int slot = 0; slot < kSlotCount; ++slot) {
      if (slot == excludedSlot || !IsSlotActive(slot)) continue;
      if (passes(block_->Slots[slot])) Deliver(slot, message);
    }
  }
  // The slot's current holder, as its TakeSerial tells it (read under the channel mutex).
  uint32_t HolderOf(int slot) const REQUIRES(*channel_);
  void EditIdFilter(int slot, const HuxMessage& request, IdFilterKind kind);
  void SyncIdFilterLocked(IdFilterKind kind, int channel) REQUIRES(filterMutex_);
  void SyncJ1708FilterLocked() REQUIRES(filterMutex_);
  // Ends the pause once it is over; returns the milliseconds until a pause still in force is
  // over (0: none is).
  uint32_t ClearPauseIfOver();
  // Writes the drops since the last report into the debug output, at most every kDropReportMs.
  void ReportDropsLocked() REQUIRES(passMutex_);
  void ReclaimDeadApplicationsLocked() REQUIRES(passMutex_);
  void OnVersionReply(const HuxMessage& message);
  void OnStatusReply(const HuxMessage& message);

  void RouteNetworkManagement(HuxMessage& message);
  // Remembers a re-send of the claims on the request's channels when `message` (sent) is a
  // global request for the address-claimed PGN.
  void CheckGlobalRequest(const HuxMessage& message);
  void ResendPendingClaims();
  // The address `slot` holds on channel index `ch`: kNullAddress when none, when the record
  // holds no claimable address, or when it was stored for an earlier holder of the slot (whose
  // record the new holder must not inherit; the record is reset on the way). Channel mutex held.
  uint8_t HeldAddressLocked(int slot, int ch) REQUIRES(*channel_);
  void ResetClaimsLocked(int slot) REQUIRES(*channel_);
  // The records of inactive slots and of slots held by someone else than the claim's holder are
  // reset to none. Channel mutex held.
  void ResetStaleClaimsLocked() REQUIRES(*channel_);

  std::shared_ptr<TServerLock> instance_;  // first member: released after everything else
  std::unique_ptr<THuxQueue> channel_;
  std::unique_ptr<TWaitThread> waitThread_;
  std::unique_ptr<THuxMgr> linkMgr_;
  ChannelBlock* block_;  // the channel's view, valid while channel_ lives

  std::atomic<uint8_t> logging_{0};
  std::atomic<uint8_t> j1708RawMode_{0};
  std::atomic<uint8_t> j1939RawMode_{0};
  // The pause flag and its tick as one word (kPauseFlag | tick), so a refusal that arrives
  // while a pass ends an older pause is never lost: 0 = no pause.
  std::atomic<uint64_t> pause_{0};

  std::array<std::unique_ptr<plat::NamedEvent>, kSlotCount> clientEvents_;
  // Per slot the last 0x08, 0x0A or 0x0B command sent (low byte) and the holder that sent it
  // (HolderOf, above it): it counts only for that holder. Reset when the slot is freed.
  std::array<std::atomic<uint32_t>, kSlotCount> lastCommand_{};

  std::atomic<uint32_t> canTxCount_{0};
  std::atomic<uint32_t> canRxCount_{0};
  std::atomic<uint32_t> j1708TxCount_{0};
  std::atomic<uint32_t> j1708RxCount_{0};
  std::atomic<uint32_t> adapterPacketsReceived_{0};
  std::atomic<uint32_t> adapterPacketsSent_{0};
  std::atomic<uint16_t> adapterChecksumErrors_{0};
  std::atomic<uint16_t> adapterPacketErrors_{0};
  // The merges owed to the adapter (MergeBit, kMergeJ1708); changed under filterMutex_ or, on
  // link loss, cleared.
  std::atomic<uint8_t> owedMerges_{0};
  // Records that found a client's ToClient ring full (or its mutex held too long).
  std::atomic<uint32_t> clientRingDrops_{0};

  // Bit n: client n has records from a delivery that no pulse has followed yet. Set with
  // release after the record is in the ring, taken with acquire before the pulse.
  std::atomic<uint16_t> pendingSignals_{0};

  // Per slot the holder (HolderOf) under which its claimed addresses were stored; a record
  // stored for an earlier holder counts as none. Written and read under the channel mutex.
  std::array<uint32_t, kSlotCount> claimHolder_{};
  // Channel bits whose claims a global request asked for, and when the re-send is due. Guarded
  // by passMutex_.
  uint8_t resendChannels_ = 0;
  uint32_t resendDueTick_ = 0;

  // Guards the pass: message_, lastSlotMask_ and lastHolder_. Taken by ProcessClientQueues only.
  cls::Mutex passMutex_;
  HuxMessage message_ GUARDED_BY(passMutex_){};  // each request is peeked into this buffer
  // Per server (not per process), so servers in tests stay apart.
  uint16_t lastSlotMask_ GUARDED_BY(passMutex_) = 0;
  // Each slot's holder (TakeSerial) as the last pass saw it: a slot taken over from a dead
  // holder, or freed and taken again, between two passes keeps its mask bit.
  std::array<uint32_t, kSlotCount> lastHolder_ GUARDED_BY(passMutex_){};
  // The drop counts of the last report.
  uint32_t reportedReceiveDrops_ GUARDED_BY(passMutex_) = 0;
  uint32_t reportedClientDrops_ GUARDED_BY(passMutex_) = 0;
  uint32_t lastDropReportTick_ GUARDED_BY(passMutex_) = 0;
  uint32_t lastReclaimTick_ GUARDED_BY(passMutex_) = 0;

  // Guards filter edits and merges, so that a merge on the link manager's thread (link up) and
  // one on the pass never interleave their adapter commands nor see an edit half done. What it
  // guards lies in the channel block (the slots' filter tables): the *Locked merges require it.
  cls::Mutex filterMutex_;
};

}  // namespace dral
