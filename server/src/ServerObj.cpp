#include "server/ServerObj.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

#include "classlib/exception.h"
#include "plat/debug.h"
#include "plat/tick.h"
#include "server/WaitThread.h"

namespace dral {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr const char* kAnotherServerText = "Another server holds the channel.";

// The pause word: this bit while a pause runs, the tick it began at in the low 32 bits.
constexpr uint64_t kPauseFlag = uint64_t{1} << 32;

bool IsRememberedCommand(uint8_t type) {
  return type == MsgAdapterCommand08 || type == MsgAdapterCommand0A || type == MsgAdapterCommand0B;
}

// The most records one ring can hold (each has at least its header).
constexpr uint32_t kMaxRequestsPerPass = kRingBufferSize / kHuxRecordHeader;

bool IsTransmitType(uint8_t type) {
  return type == MsgCanFrame || type == MsgJ1939Frame || type == MsgJ1708Frame;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TDralServer::TDralServer() : TDralServer(Options{}) {}

TDralServer::TDralServer(Options options) {
  instance_ = options.Instance ? std::move(options.Instance) : TServerLock::Claim();
  if (!instance_) throw cls::Exception(kAnotherServerText);
  channel_ = std::make_unique<THuxQueue>(false);
  block_ = channel_->Block();

  linkMgr_ = options.Links ? std::make_unique<THuxMgr>(true, std::move(*options.Links))
                           : std::make_unique<THuxMgr>(true);
  linkMgr_->AdapterMessageHandler.Set(
      AdapterMessageClosure::Of<&TDralServer::OnAdapterMessage>(this));
  linkMgr_->LinkChangedHandler.Set(LinkChangedClosure::Of<&TDralServer::OnLinkChanged>(this));
  linkMgr_->AdapterBatchEndHandler.Set(
      AdapterBatchEndClosure::Of<&TDralServer::SignalPendingClients>(this));
  lastDropReportTick_ = plat::GetTickCount() - kDropReportMs;  // the first drop shows at once

  waitThread_ =
      std::make_unique<TWaitThread>(true, &channel_->ServerEvent(), options.RoundTimeoutMs);
  waitThread_->RoundHandler = RoundClosure::Of<&TDralServer::ProcessClientQueues>(this);

  for (int n = 0; n < kSlotCount; ++n) {
    int error = 0;
    // A missing event only costs the client its wake-up; it still finds its records by polling.
    clientEvents_[n] = plat::NamedEvent::Open(ClientEventName(n), &error);
    if (!clientEvents_[n]) {
      plat::OutputDebugString("client event " + std::to_string(n) + " not created (" +
                              std::to_string(error) + ")");
    }
    lastCommand_[n].store(0, kRelaxed);
    // The addresses recorded for the slots' present holders (by an earlier server) stay theirs.
    claimHolder_[n] = HolderOf(n);
  }

  linkMgr_->Start();
  if (options.StartWaitThread) waitThread_->Start();
}

TDralServer::~TDralServer() {
  // Both threads end before anything they use goes: the pass and the link manager's handlers
  // reach linkMgr_ and the client events. Each is stopped and joined before its pointer is
  // reset, because reset() clears the pointer before the destructor waits for the thread.
  waitThread_->Terminate();
  channel_->ServerEvent().Pulse();  // ends the wait between two passes now
  waitThread_->WaitFor();
  linkMgr_->Terminate();
  linkMgr_->WaitFor();
  waitThread_.reset();
  linkMgr_.reset();
  for (auto& event : clientEvents_) event.reset();
  block_->Header.LinkState.store(LinkNoServer, kRelaxed);
  channel_.reset();
}

// ---------------------------------------------------------------------------------------------
// The server pass

void TDralServer::ProcessClientQueues() {
  cls::MutexLock lock(passMutex_);
  block_->Header.LinkState.store(linkMgr_->State(), kRelaxed);
  ReclaimDeadApplicationsLocked();

  uint16_t mask = lastSlotMask_;
  // Slots that kept their mask bit but changed holder: their old holder's filters are gone from
  // the slot and must go from the adapter too.
  uint16_t renewed = 0;
  {
    TChannelLock hold(*channel_, kChannelLockTimeoutMs);
    if (hold.Owned()) {
      mask = block_->Header.SlotMask.load(kRelaxed);
      for (int n = 0; n < kSlotCount; ++n) {
        const uint32_t holder = HolderOf(n);
        if (holder == lastHolder_[n]) continue;
        lastHolder_[n] = holder;
        if ((lastSlotMask_ & mask & (1u << n)) != 0) renewed |= static_cast<uint16_t>(1u << n);
      }
    }
  }
  if (mask != lastSlotMask_ || renewed != 0) {
    // A freed slot's next client must not inherit the replies of the old one.
    const uint16_t freed = static_cast<uint16_t>((lastSlotMask_ & ~mask) | renewed);
    for (int n = 0; n < kSlotCount; ++n) {
      if ((freed & (1u << n)) != 0) lastCommand_[n].store(0, kRelaxed);
    }
    SyncJ1708Filter();
    if (renewed != 0) SyncIdFilters();
    lastSlotMask_ = mask;
  }

  SendOwedMerges();
  ClearPauseIfOver();  // a pass that comes when the pause ends drains the rings at once

  for (int slot = 0; slot < kSlotCount; ++slot) {
    MessageRing* ring = &channel_->Slot(slot)->ToServer;
    // At most what one ring can hold per pass: a process that keeps rewriting the ring's
    // indices must not keep the pass (and the shutdown that waits for it) here for ever. What
    // is left waits for the next pass.
    for (uint32_t handled = 0; handled < kMaxRequestsPerPass && !Paused(); ++handled) {
      // Each request from its peek to its removal under the channel mutex: a slot released and
      // taken again in between would get the old holder's request applied to it (a filter
      // edit, a reply), and the removal would drop the new holder's first request.
      TChannelLock hold(*channel_, kChannelLockTimeoutMs);
      if (!hold.Owned()) break;
      if (!channel_->Peek(ring, &message_)) break;
      if (!DispatchLocked(slot, message_)) {
        // A request whose frame can never fit the transmit ring would wedge its client's ring
        // for good; it is dropped. Anything else stays at the head for a later pass. While the
        // link is up that is the ring draining (a millisecond per pass), which nobody pulses
        // the server for: the next pass comes soon instead of after a whole round.
        if (THuxMgr::FitsTransmitRing(message_)) {
          if (linkMgr_->State() == LinkConnected && waitThread_) waitThread_->RetrySoon();
          break;
        }
        plat::OutputDebugString("Request too long for the transmit ring: dropped");
      }
      channel_->Remove(ring);
    }
  }
  // Nobody pulses the server when a pause ends: the next pass comes then.
  if (const uint32_t pauseLeft = ClearPauseIfOver(); pauseLeft != 0 && waitThread_)
    waitThread_->RetryWithin(pauseLeft);
  ResendPendingClaims();
  SignalPendingClients();
  ReportDropsLocked();
  // The transmit ring drains a chunk per millisecond, and nobody pulses the server when it has
  // room again.
  if (owedMerges_.load(kRelaxed) != 0 && linkMgr_->State() == LinkConnected && waitThread_)
    waitThread_->RetrySoon();
}

void TDralServer::ReportDropsLocked() {
  const uint32_t receive = linkMgr_->FramesDropped();
  const uint32_t client = clientRingDrops_.load(kRelaxed);
  if (receive == reportedReceiveDrops_ && client == reportedClientDrops_) return;
  const uint32_t now = plat::GetTickCount();
  if (now - lastDropReportTick_ < kDropReportMs) return;
  plat::OutputDebugString(cls::Format(
      "Frames dropped: %u (receive ring full, %u in all), %u (client ring full, %u in all)",
      receive - reportedReceiveDrops_, receive, client - reportedClientDrops_, client));
  reportedReceiveDrops_ = receive;
  reportedClientDrops_ = client;
  lastDropReportTick_ = now;
}

void TDralServer::ReclaimDeadApplicationsLocked() {
  const uint32_t now = plat::GetTickCount();
  if (now - lastReclaimTick_ < kReclaimIntervalMs) return;
  lastReclaimTick_ = now;
  channel_->TakeBackDeadAttachCounts();
  if (channel_->FreeDeadSlots() == 0) return;
  // The mask change below forgets the slots' commands and merges the J1708 filter; the
  // identifier filters the dead clients never blocked again are merged here.
  SyncIdFilters();
}

void TDralServer::SyncIdFilters() {
  for (int channel = 0; channel < 2; ++channel) {
    SyncJ1939Filter(channel);
    SyncCanFilter(channel);
  }
}

uint32_t TDralServer::ClearPauseIfOver() {
  const uint64_t pause = pause_.load(std::memory_order_acquire);
  if (pause == 0) return 0;
  const uint32_t since = plat::GetTickCount() - static_cast<uint32_t>(pause);
  if (since <= kPauseMs) return kPauseMs + 1 - since;  // over once more than kPauseMs passed
  // Only the pause seen here is ended; a refusal that came meanwhile starts a new one.
  uint64_t expected = pause;
  if (pause_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return 0;
  return kPauseMs + 1;  // that new one has just begun
}

bool TDralServer::DispatchLocked(int slot, HuxMessage& m) {
  switch (m.Type) {
    case MsgAdapterCommand08:
    case MsgAdapterCommand0A:
    case MsgAdapterCommand0B:
      lastCommand_[slot].store(HolderOf(slot) << 8 | m.Type, kRelaxed);
      return Send(m);
    case MsgAdapterCommand00:
    case MsgChannelControl:
    case MsgAdapterCommand0C:
      return Send(m);

    case MsgCanFrame:
    case MsgJ1939Frame:
    case MsgJ1939Transport:
      return SendAndCopy(slot, m);

    case MsgJ1708Frame: {
      if (m.Length < kJ1708MinLength) return true;  // no MID: not a J1708 message; dropped
      if (J1708RawMode() == 0 && !AppendJ1708Checksum(m)) {
        // A frame of kHuxMaxData bytes has no room for its checksum. Sent without it the
        // adapter would put a corrupt message on the bus, and kept it would wedge the ring.
        plat::OutputDebugString("J1708 frame too long for its checksum: dropped");
        return true;
      }
      if (!Send(m)) return false;
      DeliverJ1708(m, slot);
      j1708TxCount_.fetch_add(1, kRelaxed);
      return true;
    }

    case MsgCanFilter:
      EditCanFilter(slot, m);
      return true;
    case MsgJ1939Filter:
      EditJ1939Filter(slot, m);
      return true;
    case MsgJ1708Filter:
      EditJ1708Filter(slot, m);
      return true;
    case MsgJ1939Control:
      return HandleNetworkManagement(slot, m);
    case MsgJ1939RawMode:
      HandleJ1939RawMode(m);
      return true;
    case MsgJ1708RawMode:
      HandleJ1708RawMode(m);
      return true;
    default:
      return true;  // unknown to the server: taken off the ring and dropped
  }
}

// CAN, J1939 and whole J1939 messages for the adapter's transport: sent, then copied to the
// other clients while the channel is usable.
bool TDralServer::SendAndCopy(int slot, HuxMessage& m) {
  // Without channel byte and identifier the frame is meaningless; dropped, so the ring moves.
  const uint16_t shortest =
      m.Type == MsgJ1939Transport ? kJ1939TransportFixed : kIdFrameMinLength;
  if (m.Length < shortest) return true;
  if (!Send(m)) return false;
  if (!ChannelUsable(m.Data[0])) return true;
  if (m.Type == MsgCanFrame) {
    DeliverCan(m, slot);
  } else {
    DeliverJ1939(m, slot);
  }
  canTxCount_.fetch_add(1, kRelaxed);
  if (m.Type == MsgJ1939Frame) CheckGlobalRequest(m);
  return true;
}

bool TDralServer::Send(const HuxMessage& message) {
  return linkMgr_->SendMessage(message);
}

bool TDralServer::SendCommands(const AdapterCommandList& commands) {
  constexpr size_t kCapacity = AdapterCommandList::kCapacity;
  std::array<std::array<uint8_t, 1 + sizeof(AdapterCommand::Data)>, kCapacity> payloads{};
  std::array<std::span<const uint8_t>, kCapacity> parts;
  size_t n = 0;
  for (const AdapterCommand& c : commands) {
    const size_t length = std::min<size_t>(c.Length, c.Data.size());
    payloads[n][0] = c.Type;
    std::memcpy(payloads[n].data() + 1, c.Data.data(), length);
    parts[n] = std::span<const uint8_t>(payloads[n].data(), 1 + length);
    ++n;
  }
  return linkMgr_->SendTogether(std::span(parts.data(), n));
}

uint8_t TDralServer::MergeBit(IdFilterKind kind, int channel) {
  return static_cast<uint8_t>(1u << ((kind == IdFilterKind::J1939 ? 0 : 2) + channel));
}

void TDralServer::NoteMergeResult(uint8_t bit, bool sent) {
  if (sent) {
    owedMerges_.fetch_and(static_cast<uint8_t>(~bit), std::memory_order_relaxed);
  } else {
    owedMerges_.fetch_or(bit, std::memory_order_relaxed);
  }
}

void TDralServer::SendOwedMerges() {
  if (owedMerges_.load(kRelaxed) == 0 || linkMgr_->State() != LinkConnected) return;
  cls::MutexLock lock(filterMutex_);
  const uint8_t owed = owedMerges_.load(kRelaxed);
  for (const IdFilterKind kind : {IdFilterKind::J1939, IdFilterKind::Can}) {
    for (int channel = 0; channel < 2; ++channel) {
      if ((owed & MergeBit(kind, channel)) != 0) SyncIdFilterLocked(kind, channel);
    }
  }
  if ((owed & kMergeJ1708) != 0) SyncJ1708FilterLocked();
}

bool TDralServer::ChannelUsable(uint8_t channelBits) const {
  const uint8_t status = (channelBits & kChannelBit1) != 0
                             ? block_->Header.Can1Status.load(kRelaxed)
                             : block_->Header.Can2Status.load(kRelaxed);
  return (status & StatusAvailable) != 0 && (status & StatusError) == 0;
}

// ---------------------------------------------------------------------------------------------
// J1708 length and raw modes

bool TDralServer::AppendJ1708Checksum(HuxMessage& m) {
  if (m.Length < kJ1708MinLength || m.Length >= kHuxMaxData) return false;
  uint8_t sum = 0;
  for (uint16_t i = sizeof(J1708FrameHeader); i < m.Length; ++i) sum += m.Data[i];
  m.Data[m.Length] = static_cast<uint8_t>(-sum);
  ++m.Length;
  RaiseJ1708Length(m.Data);
  return true;
}

void TDralServer::HandleJ1708RawMode(const HuxMessage& m) {
  if (m.Length != 0) j1708RawMode_.store(m.Data[0] == kRawModeOn ? 1 : 0, kRelaxed);
}

void TDralServer::HandleJ1939RawMode(const HuxMessage& m) {
  if (m.Length != 0) j1939RawMode_.store(m.Data[0] == kRawModeOn ? 1 : 0, kRelaxed);
}

void TDralServer::SetJ1708RawMode(uint8_t on) {
  j1708RawMode_.store(on == kRawModeOn ? 1 : 0, kRelaxed);
}

// ---------------------------------------------------------------------------------------------
// Adapter traffic (link manager's thread)

void TDralServer::OnAdapterMessage(HuxMessage& m) {
  switch (m.Type) {
    case MsgReply:
      if (m.Length >= 2 && m.Data[1] == ReplyFailed && IsTransmitType(m.Data[0])) {
        // The adapter's buffer is full: no client is drained for the next kPauseMs.
        pause_.store(kPauseFlag | plat::GetTickCount(), std::memory_order_release);
      } else {
        DeliverResponse(m);
      }
      return;
    case MsgVersionReply:
      OnVersionReply(m);
      return;
    case MsgStatusReply:
      OnStatusReply(m);
      return;
    case MsgAdapterData09:
    case MsgTransportResult:
      DeliverResponse(m);
      return;
    case MsgCanFrame:
      canRxCount_.fetch_add(1, kRelaxed);
      DeliverCan(m, kNoSlot);
      return;
    case MsgJ1939Frame:
      canRxCount_.fetch_add(1, kRelaxed);
      DeliverJ1939(m, kNoSlot);
      AnswerClaimRequestFromBus(m);
      return;
    case MsgJ1939Control:
      canRxCount_.fetch_add(1, kRelaxed);
      AnswerClaimRequestFromBus(m);
      if (J1939RawMode() != 0) {
        m.Type = MsgJ1939Frame;
        DeliverJ1939(m, kNoSlot);
      } else {
        RouteNetworkManagement(m);
      }
      return;
    case MsgJ1708Frame:
      j1708RxCount_.fetch_add(1, kRelaxed);
      DeliverJ1708(m, kNoSlot);
      return;
    default:
      return;
  }
}

void TDralServer::OnVersionReply(const HuxMessage& m) {
  if (m.Length >= kVersionBytes) {
    for (uint16_t i = 0; i < kVersionBytes; ++i) {
      block_->Header.AdapterVersion[i].store(m.Data[i], kRelaxed);
    }
  }
  if (m.Length >= kVersionWithFlags) {
    block_->Header.AdapterFlags.store(GetU16(&m.Data[kVersionBytes]), kRelaxed);
  }
}

void TDralServer::OnStatusReply(const HuxMessage& m) {
  if (m.Length < kStatusCountersLength) return;
  // A reply of 12 or 16 bytes lacks the last byte of the field it ends in; bytes past the data
  // read as 0 instead of whatever the buffer held.
  AdapterStatusReply r{};
  std::memcpy(&r, m.Data, std::min<size_t>(m.Length, sizeof r));
  adapterPacketsReceived_.store(r.PacketsReceived, kRelaxed);
  adapterPacketsSent_.store(r.PacketsSent, kRelaxed);
  adapterChecksumErrors_.store(r.ChecksumErrors, kRelaxed);
  adapterPacketErrors_.store(r.PacketErrors, kRelaxed);
  if (m.Length < kStatusBytesLength) return;
  ChannelHeader& h = block_->Header;
  h.Can1Status.store(r.Can1Status | (J1939RawMode() != 0 ? StatusRawMode : 0), kRelaxed);
  h.Can2Status.store(r.Can2Status, kRelaxed);
  h.J1708Status.store(r.J1708Status | (J1708RawMode() != 0 ? StatusRawMode : 0), kRelaxed);
  h.OtherStatus.store(r.OtherStatus, kRelaxed);
}

uint32_t TDralServer::HolderOf(int slot) const {
  return block_->Slots[slot].TakeSerial.load(kRelaxed);
}

void TDralServer::DeliverResponse(const HuxMessage& m, int excludedSlot) {
  if (m.Type == MsgReply && (m.Length < 1 || !IsRememberedCommand(m.Data[0]))) return;
  TChannelLock hold(*channel_, kChannelLockTimeoutMs);
  if (!hold.Owned()) return;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (slot == excludedSlot || !IsSlotActive(slot)) continue;
    // A command of an earlier holder of the slot asked for nothing on behalf of this one.
    const uint32_t remembered = lastCommand_[slot].load(kRelaxed);
    const uint8_t last =
        (remembered >> 8) == HolderOf(slot) ? static_cast<uint8_t>(remembered & 0xFF) : 0;
    bool wanted = false;
    switch (m.Type) {
      case MsgReply:
        wanted = last == m.Data[0];
        break;
      case MsgAdapterData09:
        wanted = last == MsgAdapterCommand08;
        break;
      case MsgTransportResult:
        wanted = true;
        break;
      default:
        break;
    }
    if (wanted) Deliver(slot, m);
  }
}

void TDralServer::OnLinkChanged(uint8_t up) {
  if (up != 0) {
    cls::MutexLock lock(filterMutex_);
    SyncIdFilterLocked(IdFilterKind::J1939, 0);
    SyncIdFilterLocked(IdFilterKind::J1939, 1);
    SyncIdFilterLocked(IdFilterKind::Can, 0);
    SyncIdFilterLocked(IdFilterKind::Can, 1);
    SyncJ1708FilterLocked();
  } else {
    block_->Header.AdapterFlags.store(0, kRelaxed);
    owedMerges_.store(0, kRelaxed);  // the next link-up merges everything anyway
  }
}

// ---------------------------------------------------------------------------------------------
// Clients

void TDralServer::SignalClient(int slot) {
  if (slot < 0 || slot >= kSlotCount || !clientEvents_[slot]) return;
  clientEvents_[slot]->Pulse();
}

void TDralServer::SignalPendingClients() {
  uint32_t pending = pendingSignals_.exchange(0, std::memory_order_acquire);
  while (pending != 0) {
    SignalClient(std::countr_zero(pending));
    pending &= pending - 1;
  }
}

// Callers hold the channel mutex from their check of the slot and its filter to the put, so a
// record chosen for one holder never lands in the ring of the slot's next holder.
void TDralServer::Deliver(int slot, const HuxMessage& m) {
  // A full ToClient ring loses the message for this client only; it is counted.
  if (!channel_->Put(&channel_->Slot(slot)->ToClient, &m)) {
    clientRingDrops_.fetch_add(1, kRelaxed);
    return;
  }
  pendingSignals_.fetch_or(static_cast<uint16_t>(1u << slot), std::memory_order_release);
}

void TDralServer::PutReply(int slot, uint8_t requestType, bool ok, uint8_t errorCode) {
  HuxMessage reply{};
  reply.Type = MsgReply;
  reply.Length = EncodeReply({requestType, ok ? ReplyOk : ReplyFailed, errorCode}, reply.Data);
  // Without a signal: the requester polls for its reply.
  if (!channel_->Put(&channel_->Slot(slot)->ToClient, &reply))
    clientRingDrops_.fetch_add(1, kRelaxed);
}

// ---------------------------------------------------------------------------------------------
// For the main form

uint16_t TDralServer::RingCount(int slot, bool toClient) {
  if (slot < 0 || slot >= kSlotCount) return 0;
  ClientSlot* s = channel_->Slot(slot);
  return channel_->Count(toClient ? &s->ToClient : &s->ToServer);
}

bool TDralServer::IsSlotActive(int slot) const {
  if (slot < 0 || slot >= kSlotCount) return false;
  return block_->Slots[slot].SlotId.load(kRelaxed) != kFreeSlot;
}

uint16_t TDralServer::SlotMask() const {
  return block_->Header.SlotMask.load(kRelaxed);
}
uint16_t TDralServer::AttachSerial() const {
  return block_->Header.AttachSerial.load(kRelaxed);
}

uint16_t TDralServer::AttachCount() const {
  return block_->Header.AttachCount.load(kRelaxed);
}

void TDralServer::SetLogging(uint8_t logging) {
  if (logging_.exchange(logging, kRelaxed) != logging) linkMgr_->SetLogging(logging);
}

void TDralServer::PortName(std::string& text) {
  linkMgr_->PortName(text);
}
void TDralServer::PortInfo(std::string& text) {
  linkMgr_->PortInfo(text);
}

uint16_t TDralServer::AdapterVersion() const {
  const auto& v = block_->Header.AdapterVersion;
  return static_cast<uint16_t>(v[kVersionMajorIndex].load(kRelaxed) << 8 |
                               v[kVersionMinorIndex].load(kRelaxed));
}

void TDralServer::DisableChannels() {
  HuxMessage m{};
  m.Type = MsgChannelControl;
  m.Length = 2;
  for (uint8_t channel : {ChannelCan1, ChannelCan2, ChannelJ1708}) {
    m.Data[0] = channel;
    m.Data[1] = kChannelOff;
    Send(m);
  }
}

ServerStatistics TDralServer::Statistics() const {
  ServerStatistics s{};
  s.CanTxCount = canTxCount_.load(kRelaxed);
  s.CanRxCount = canRxCount_.load(kRelaxed);
  s.J1708TxCount = j1708TxCount_.load(kRelaxed);
  s.J1708RxCount = j1708RxCount_.load(kRelaxed);
  s.AdapterPacketsReceived = adapterPacketsReceived_.load(kRelaxed);
  s.AdapterPacketsSent = adapterPacketsSent_.load(kRelaxed);
  s.AdapterChecksumErrors = adapterChecksumErrors_.load(kRelaxed);
  s.AdapterPacketErrors = adapterPacketErrors_.load(kRelaxed);
  s.ReceiveRingDrops = linkMgr_->FramesDropped();
  s.ClientRingDrops = clientRingDrops_.load(kRelaxed);
  return s;
}

}  // namespace dral
