#include "client/TPThread.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "DRAL.h"
#include "client/ClientObj.h"
#include "client/ClientThread.h"
#include "plat/debug.h"
#include "plat/process.h"
#include "plat/tick.h"

namespace dral {
namespace {

using namespace j1939;

constexpr uint32_t kBamRetryMs = 10;
constexpr uint32_t kRtsRetryMs = 20;
constexpr uint32_t kAdapterRetryMs = 10;
constexpr uint32_t kPacketRetryMs = 25;
constexpr uint8_t kPriorityBitsOfPdp = 0x1C;
constexpr const char* kTransferSlowText = "J1939 transfer slow to stop; still waiting for it.";

}  // namespace

// ---- TTransportThread -----------------------------------------------------------------------

TTransportThread::TTransportThread(bool createSuspended, uint16_t length, const uint8_t* message,
                                   THuxQueue* queue, TClientThread* clientThread)
    : cls::TThread(createSuspended),
      queue_(queue),
      slot_(queue ? queue->Slot(queue->SlotIndex()) : nullptr),
      clientThread_(clientThread),
      outcome_(DRAL_ERR_SEND_FAILED) {
  SetPriority(cls::TThreadPriority::tpHighest);
  length = std::clamp<uint16_t>(length, app::kJ1939Data, app::kJ1939MaxLength);
  channelBits_ = (message[0] & 0x02) ? kChannelBit1 : kChannelBit2;
  sourceAddress_ = message[app::kJ1939Source];
  destinationAddress_ = (message[app::kJ1939Priority] & app::kJ1939Broadcast)
                            ? kGlobalAddress
                            : message[app::kJ1939Destination];
  pduSpecific_ = message[app::kJ1939PduSpecific];
  pduFormat_ = message[app::kJ1939PduFormat];
  priorityDataPage_ = static_cast<uint8_t>((message[app::kJ1939Priority] & 0x07) << 2 |
                                           (message[app::kJ1939DataPage] & 0x01));
  totalSize_ = static_cast<uint16_t>(length - app::kJ1939Data);
  totalPackets_ = static_cast<uint8_t>(PacketsFor(totalSize_));
  pgn_[0] = pduSpecific_;
  pgn_[1] = pduFormat_;
  pgn_[2] = priorityDataPage_ & 0x01;
  std::memset(data_, 0xFF, sizeof data_);  // the last packet is padded with 0xFF
  std::memcpy(data_, message + app::kJ1939Data, totalSize_);
}

TTransportThread::~TTransportThread() {
  Terminate();
  WaitFor();
}

void TTransportThread::Execute() {
  outcome_.store(DRAL_ERR_SEND_FAILED, std::memory_order_release);
  if (queue_ && slot_) {
    const uint16_t flags = queue_->Block()->Header.AdapterFlags.load(std::memory_order_relaxed);
    if (flags & AdapterFlagTransport) {
      SendViaAdapter();
    } else if (destinationAddress_ == kGlobalAddress) {
      SendBroadcast();
    } else if (clientThread_) {
      SendConnectionMode();
    } else {
      outcome_.store(DRAL_ERR_NO_ADDRESS, std::memory_order_release);
    }
  }
  if (list_) list_->Finished(this);
}

bool TTransportThread::Put(const HuxMessage& m) {
  if (!queue_->Put(&slot_->ToServer, &m)) return false;
  SignalServer(*queue_);
  return true;
}

bool TTransportThread::PutTwice(const HuxMessage& m, uint32_t retryMs) {
  if (Put(m)) return true;
  plat::Sleep(retryMs);
  return Put(m);
}

HuxMessage TTransportThread::Packet(uint8_t source, uint8_t destination, uint8_t sequence) const {
  return DataPacketRecord(channelBits_, source, destination, priorityDataPage_ >> 2, sequence,
                          data_ + (sequence - 1) * kBytesPerPacket);
}

void TTransportThread::SendBroadcast() {
  const uint8_t priority = (priorityDataPage_ & kPriorityBitsOfPdp) >> 2;
  const HuxMessage bam =
      ControlRecord(channelBits_, sourceAddress_, kGlobalAddress, priority,
                    SizedControl(kTpCmBam, totalSize_, totalPackets_, kNoPacketLimit, pgn_));
  if (!PutTwice(bam, kBamRetryMs)) return;
  for (uint16_t i = 1; i <= totalPackets_ && !Terminated();) {
    if (Put(Packet(sourceAddress_, kGlobalAddress, static_cast<uint8_t>(i)))) ++i;
    if (i <= totalPackets_) plat::Sleep(kBamPacketSpacingMs);
  }
  if (!Terminated()) outcome_.store(DRAL_OK, std::memory_order_release);
}

void TTransportThread::SendWindow(TCMHandshake& handshake) {
  const HandshakeView view = clientThread_->ReadHandshake(handshake);
  const int left = totalPackets_ - view.NextPacket + 1;
  const int attempts = std::min({int{view.PacketsAllowed}, int{kMaxPacketsPerWindow}, left});
  for (int n = 0; n < attempts && !Terminated(); ++n) {
    // A CTS that came meanwhile (asking again from an earlier packet) takes effect at once.
    const HandshakeView now = clientThread_->ReadHandshake(handshake);
    if (now.State != TCMHandshake::StateClearToSend || now.PacketsAllowed == 0 ||
        now.NextPacket == 0 || now.NextPacket > totalPackets_) {
      return;
    }
    if (Put(Packet(sourceAddress_, destinationAddress_, now.NextPacket))) {
      clientThread_->PacketSent(handshake, now.NextPacket);
    } else {
      plat::Sleep(kPacketRetryMs);
    }
  }
  clientThread_->EndWindow(handshake, view);
}

void TTransportThread::SendConnectionMode() {
  const uint32_t pgn = static_cast<uint32_t>(pgn_[0] | pgn_[1] << 8 | pgn_[2] << 16);
  TCMHandshake* handshake = clientThread_->AddHandshake(pgn, sourceAddress_, destinationAddress_);
  if (!handshake) return;
  const uint8_t priority = (priorityDataPage_ & kPriorityBitsOfPdp) >> 2;
  // The RTS announces the most packets this sender sends per CTS, so a receiver that keeps to
  // it never waits for a packet that does not come.
  const HuxMessage rts =
      ControlRecord(channelBits_, sourceAddress_, destinationAddress_, priority,
                    SizedControl(kTpCmRts, totalSize_, totalPackets_, kMaxPacketsPerWindow, pgn_));
  if (PutTwice(rts, kRtsRetryMs)) {
    uint32_t start = plat::GetTickCount();
    while (!Terminated()) {
      const HandshakeView view = clientThread_->ReadHandshake(*handshake);
      if (view.State == TCMHandshake::StateAborted) {
        outcome_.store(DRAL_ERR_TRANSPORT_ABORTED, std::memory_order_release);
        break;
      }
      if (view.State == TCMHandshake::StateComplete) {
        outcome_.store(DRAL_OK, std::memory_order_release);
        break;
      }
      if (view.State == TCMHandshake::StateClearToSend && view.PacketsAllowed > 0 &&
          view.NextPacket > 0 && view.NextPacket <= totalPackets_) {
        SendWindow(*handshake);
        start = plat::GetTickCount();
        continue;
      }
      if (plat::TickElapsed(start, kCtsTimeoutMs)) {
        outcome_.store(DRAL_ERR_TRANSPORT_TIMEOUT, std::memory_order_release);
        Put(ControlRecord(channelBits_, sourceAddress_, destinationAddress_, priority,
                          AbortControl(0xFF, pgn_)));
        break;
      }
      plat::Sleep(kHandshakePollMs);
    }
  }
  clientThread_->RemoveHandshake(handshake);
}

void TTransportThread::SendViaAdapter() {
  const uint32_t pgn = static_cast<uint32_t>(pgn_[0] | pgn_[1] << 8 | pgn_[2] << 16);
  // Listed before the record goes, so that an early result is not missed.
  TCMHandshake* handshake =
      clientThread_ ? clientThread_->AddHandshake(pgn, sourceAddress_, destinationAddress_)
                    : nullptr;
  if (!handshake) return;
  MessageHeader h;
  h.ChannelBits = channelBits_;
  h.SourceAddress = sourceAddress_;
  h.DestinationAddress = destinationAddress_;
  h.PduSpecific = pduSpecific_;
  h.PduFormat = pduFormat_;
  h.PriorityDataPage = priorityDataPage_;
  HuxMessage record;
  if (EncodeTransportRecord(h, {data_, totalSize_}, record) &&
      PutTwice(record, kAdapterRetryMs)) {
    const uint32_t start = plat::GetTickCount();
    while (!Terminated()) {
      const uint8_t state = clientThread_->ReadHandshake(*handshake).State;
      if (state == TCMHandshake::StateComplete) {
        outcome_.store(DRAL_OK, std::memory_order_release);
        break;
      }
      if (state == TCMHandshake::StateAborted ||
          plat::TickElapsed(start, kAdapterTransportTimeoutMs)) {
        outcome_.store(DRAL_ERR_TRANSPORT_ABORTED, std::memory_order_release);
        break;
      }
      plat::Sleep(kAdapterPollMs);
    }
  }
  clientThread_->RemoveHandshake(handshake);
}

// ---- TTransportList -------------------------------------------------------------------------

bool TTransportList::IsBusy(uint8_t destination) const {
  cls::MutexLock lock(transportLock_);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return !e.Finished && e.Thread->Outcome() != DRAL_OK &&
           e.Thread->DestinationAddress() == destination;
  });
}

TTransportThread* TTransportList::AddUnlessBusy(std::unique_ptr<TTransportThread> thread,
                                                const void* owner) {
  std::unique_ptr<TTransportThread> refused;  // freed after the lock is released
  cls::MutexLock lock(transportLock_);
  const uint8_t destination = thread->DestinationAddress();
  for (const Entry& e : entries_) {
    if (!e.Finished && e.Thread->Outcome() != DRAL_OK &&
        e.Thread->DestinationAddress() == destination) {
      refused = std::move(thread);
      return nullptr;
    }
  }
  TTransportThread* listed = thread.get();
  listed->SetList(this);
  entries_.push_back({std::move(thread), owner, false});
  return listed;
}

void TTransportList::RemoveUnstarted(TTransportThread* thread) {
  Entries gone;
  cls::MutexLock lock(transportLock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->Thread.get() != thread) continue;
    gone.splice(gone.end(), entries_, it);
    return;
  }
}

void TTransportList::Finished(TTransportThread* thread) {
  cls::MutexLock lock(transportLock_);
  for (Entry& e : entries_) {
    if (e.Thread.get() != thread || e.Finished) continue;
    e.Finished = true;
    ++finishedCount_;
    return;
  }
}

void TTransportList::Stop(Entries& ended) {
  for (Entry& e : ended) e.Thread->Terminate();
  for (Entry& e : ended) {
    // Each step of a send is bounded (a sleep of at most 50 ms, a put of at most the channel
    // mutex's time-out) and the stop flag is looked at between steps.
    while (!e.Thread->WaitFor(kThreadStopTimeoutMs)) plat::OutputDebugString(kTransferSlowText);
  }
  ended.clear();  // joins and frees
}

void TTransportList::Reap() {
  Entries ended;
  {
    cls::MutexLock lock(transportLock_);
    if (finishedCount_ == 0) return;
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->Finished) ended.splice(ended.end(), entries_, it);
      it = next;
    }
    finishedCount_ = 0;
  }
  Stop(ended);
}

void TTransportList::StopFor(const void* owner) {
  Entries ended;
  {
    cls::MutexLock lock(transportLock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (owner == nullptr || it->Owner == owner) {
        if (it->Finished) --finishedCount_;
        ended.splice(ended.end(), entries_, it);
      }
      it = next;
    }
  }
  Stop(ended);
}

void TTransportList::StopAll() {
  StopFor(nullptr);
}

size_t TTransportList::Count() const {
  cls::MutexLock lock(transportLock_);
  return entries_.size();
}

TTransportList& ProcessTransportList() {
  // The first list lives in static storage and is never destroyed: an unloaded library leaves
  // no memory behind (it is empty once the unload has stopped every send), and a send that
  // ends while exit() runs finds it still there.
  alignas(TTransportList) static unsigned char storage[sizeof(TTransportList)];
  static std::atomic<TTransportList*> current{nullptr};
  const uint32_t generation = plat::ForkGeneration();
  TTransportList* list = current.load(std::memory_order_acquire);
  if (list == nullptr) {
    static TTransportList* const first = new (storage) TTransportList(generation);
    current.compare_exchange_strong(list, first, std::memory_order_acq_rel);
    list = current.load(std::memory_order_acquire);
  }
  while (list->Generation() != generation) {
    auto* fresh = new TTransportList(generation);
    if (current.compare_exchange_strong(list, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
  }
  return *list;
}

}  // namespace dral
