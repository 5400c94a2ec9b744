#include "client/ClientThread.h"

#include <cstring>
#include <new>

#include "client/ClientObj.h"
#include "client/TPThread.h"
#include "plat/tick.h"

namespace dral {
namespace {

constexpr int kChannelIndex1 = 0;
constexpr int kChannelIndex2 = 1;

int ChannelIndexOf(uint8_t channelBits) {
  return (channelBits & kChannelBit1) ? kChannelIndex1 : kChannelIndex2;
}

// The NAME the server stored with a claim.
void CopyName(const ClaimedAddress& claim, uint8_t* name) {
  for (size_t i = 0; i < j1939::kNameBytes; ++i)
    name[i] = claim.Name[i].load(std::memory_order_relaxed);
}

}  // namespace

TClientThread::TClientThread(bool createSuspended, THuxQueue* queue)
    : cls::TThread(createSuspended),
      queue_(queue),
      slot_(queue ? queue->Slot(queue->SlotIndex()) : nullptr),
      receive_(*this, kMaxPacketsPerCts) {
  SetPriority(cls::TThreadPriority::tpHighest);
}

TClientThread::~TClientThread() {
  Terminate();
  WaitFor();
}

void TClientThread::Execute() {
  runningId_.store(std::this_thread::get_id(), std::memory_order_release);
  if (queue_ && slot_) {
    uint32_t last = plat::GetTickCount();
    // The generation is read before each drain: the server pulses once per pass, after its
    // records are in the ring, so a pulse that comes while this thread drains must end the
    // next wait at once instead of being missed.
    uint32_t seen = ClientEventGeneration(*queue_);
    while (!Terminated()) {
      WaitForClientEvent(*queue_, seen, kReceiveWaitMs);
      if (Terminated()) break;
      seen = ClientEventGeneration(*queue_);
      DrainRing();
      const uint32_t now = plat::GetTickCount();
      if (now - last >= kSessionCheckIntervalMs) {
        CheckSessionTimeouts();
        ProcessTransportList().Reap();  // joins sends that have ended
        last = now;
      }
    }
    ClearMessages();
  }
  addressLostCallback_.store(nullptr, std::memory_order_release);
  // A later thread may be given the same id.
  runningId_.store(std::thread::id(), std::memory_order_release);
}

void TClientThread::DrainRing() {
  // Terminated is tested per record so that a disconnect never waits for a full ring.
  while (!Terminated()) {
    if (!queue_->Peek(&slot_->ToClient, &readBuffer_)) return;  // empty, or mutex time-out
    try {
      DispatchServerMessage(readBuffer_);
    } catch (...) {
      // A record that cannot be handled is dropped like any other, never handled again.
    }
    queue_->Remove(&slot_->ToClient);
  }
}

void TClientThread::DispatchServerMessage(const HuxMessage& message) {
  switch (message.Type) {
    case MsgReply: {
      Reply reply;
      if (DecodeReply(ViewOf(message), reply) && awaitingReply_.load(std::memory_order_acquire) &&
          awaitedType_.load(std::memory_order_relaxed) == reply.RequestType) {
        replyResult_.store(reply.Result, std::memory_order_relaxed);
        awaitingReply_.store(false, std::memory_order_release);
      }
      break;
    }
    case MsgJ1939Control:
      HandleJ1939Control(message);
      return;
    case MsgTransportResult:
      HandleTransportResult(message);
      return;
    default:
      break;
  }
  const uint16_t length = DecodeServerMessage(message, decodeBuffer_);
  if (length == 0) return;
  // Out of memory: this message is lost, the next may fit.
  PushMessage(MakeQueuedMessage(decodeBuffer_, length, plat::GetTickCount()));
}

void TClientThread::QueueDecoded(RecordView record) {
  const uint16_t length = DecodeServerMessage(record, {decodeBuffer_, kQueuedMessageBytes});
  if (length != 0) PushMessage(MakeQueuedMessage(decodeBuffer_, length, plat::GetTickCount()));
}

void TClientThread::HandleJ1939Control(const HuxMessage& message) {
  J1939Frame frame;
  if (!DecodeJ1939Frame(ViewOf(message), frame)) return;
  switch (frame.PduFormat) {
    case j1939::kPfTransportData:
      receive_.TakePacket(frame, plat::GetTickCount());
      return;
    case j1939::kPfTransportControl:
      HandleConnectionControl(frame);
      return;
    case j1939::kPfAddressClaimed:
      HandleAddressClaimed(message, frame);
      return;
    default:
      return;
  }
}

void TClientThread::HandleConnectionControl(const J1939Frame& frame) {
  j1939::ConnectionControl control;
  if (!j1939::DecodeConnectionControl(frame, control)) return;
  switch (control.Control) {
    case j1939::kTpCmRts:
    case j1939::kTpCmBam:
      receive_.Open(frame, control, plat::GetTickCount());
      return;
    case j1939::kTpCmCts:
    case j1939::kTpCmEndOfMsgAck:
      UpdateHandshake(frame, control);
      return;
    case j1939::kTpCmAbort:
      UpdateHandshake(frame, control);
      receive_.DropSession(frame.ChannelBits, frame.SourceAddress, frame.PduSpecific);
      return;
    default:
      return;
  }
}

// An address-claimed message (or the server's notice that another client of the adapter holds
// the address, which has the same layout) is delivered, then, when it contests an address this
// connection holds, defended: the lower NAME keeps the address.
void TClientThread::HandleAddressClaimed(const HuxMessage& message, const J1939Frame& frame) {
  QueueDecoded({MsgJ1939Frame, ViewOf(message).Data});
  if (frame.Payload.size() < j1939::kNameBytes) return;
  const int index = ChannelIndexOf(frame.ChannelBits);
  ClaimedAddress& ours = slot_->Claimed[index];
  const uint8_t address = ours.Address.load(std::memory_order_acquire);
  if (address == kNoAddress || frame.SourceAddress != address || HeldAddress(index) != address) {
    return;
  }
  uint8_t name[j1939::kNameBytes];
  CopyName(ours, name);
  const uint64_t theirs = j1939::NameValue(frame.Payload.data());
  const uint64_t mine = j1939::NameValue(name);
  const uint8_t channel = static_cast<uint8_t>(index + 1);
  // Channel 1 gives the address up to an equal NAME as well (another client of this adapter
  // with the same NAME); channel 2 keeps it then.
  const bool lost = index == kChannelIndex1 ? theirs <= mine : theirs < mine;
  if (lost || contestCount_.fetch_add(1, std::memory_order_acq_rel) + 1 >= kMaxAddressContests) {
    LoseAddress(channel);
    return;
  }
  SendControl(j1939::AddressClaimRecord(channel, address, name));
}

void TClientThread::BeginClaim(int channel, uint8_t address) {
  contestCount_.store(0, std::memory_order_release);
  held_[channel].store(address, std::memory_order_release);
}

void TClientThread::SetAddressHeld(bool held) {
  if (held) return;  // a claim is only ever made by BeginClaim
  EndClaim(kChannelIndex1);
  EndClaim(kChannelIndex2);
}

bool TClientThread::AddressHeld() const {
  return HeldAddress(kChannelIndex1) != kNoAddress || HeldAddress(kChannelIndex2) != kNoAddress;
}

void TClientThread::LoseAddress(uint8_t channel) {
  const int index = channel == 1 ? kChannelIndex1 : kChannelIndex2;
  ClaimedAddress& ours = slot_->Claimed[index];
  const uint8_t address = ours.Address.load(std::memory_order_acquire);
  uint8_t name[j1939::kNameBytes];
  CopyName(ours, name);
  EndClaim(index);
  ours.Address.store(kNoAddress, std::memory_order_release);
  // The network learns that this NAME holds no address any more: "cannot claim", the claim
  // from the null address. A plain frame, so the server sends it without recording a claim.
  HuxMessage cannotClaim;
  EncodeAddressClaim(MsgJ1939Frame, index == kChannelIndex1 ? kChannelBit1 : kChannelBit2,
                     j1939::kNullAddress, name, cannotClaim);
  SendControl(cannotClaim);
  if (const DRAL_AddressLostCallback callback = AddressLostCallback()) callback(address);
}

uint8_t TClientThread::OurAddress(uint8_t channelBits) {
  if (!slot_) return kNoAddress;
  return slot_->Claimed[ChannelIndexOf(channelBits)].Address.load(std::memory_order_acquire);
}

void TClientThread::SendControl(const HuxMessage& reply) {
  if (!queue_ || !slot_) return;
  queue_->Put(&slot_->ToServer, &reply);  // not retried: the time-outs of both sides end it
  SignalServer(*queue_);
}

void TClientThread::DeliverMessage(const uint8_t* message, uint16_t length) {
  PushMessage(MakeQueuedMessage(message, length, plat::GetTickCount()));
}

// ---- handshakes of outgoing transfers -------------------------------------------------------

void TCMHandshake::SetClearToSend(uint8_t packetsAllowed, uint8_t nextPacket) {
  PacketsAllowed.store(packetsAllowed, std::memory_order_relaxed);
  NextPacket.store(nextPacket, std::memory_order_relaxed);
  State.store(StateClearToSend, std::memory_order_release);
  Updates.fetch_add(1, std::memory_order_relaxed);
}

void TCMHandshake::SetComplete() {
  State.store(StateComplete, std::memory_order_release);
  Updates.fetch_add(1, std::memory_order_relaxed);
}

void TCMHandshake::SetAborted() {
  State.store(StateAborted, std::memory_order_release);
  Updates.fetch_add(1, std::memory_order_relaxed);
}

TCMHandshake* TClientThread::AddHandshake(uint32_t pgn, uint8_t source, uint8_t destination) {
  std::unique_ptr<TCMHandshake> handshake(new (std::nothrow)
                                              TCMHandshake(pgn, source, destination));
  if (!handshake) return nullptr;
  TCMHandshake* listed = handshake.get();
  cls::MutexLock lock(handshakeLock_);
  handshakes_.push_back(std::move(handshake));
  return listed;
}

void TClientThread::RemoveHandshake(TCMHandshake* handshake) {
  std::unique_ptr<TCMHandshake> gone;  // freed after the lock is released
  cls::MutexLock lock(handshakeLock_);
  for (auto it = handshakes_.begin(); it != handshakes_.end(); ++it) {
    if (it->get() != handshake) continue;
    gone = std::move(*it);
    handshakes_.erase(it);
    return;
  }
}

HandshakeView TClientThread::ReadHandshake(const TCMHandshake& h) {
  cls::MutexLock lock(handshakeLock_);
  return {h.State.load(std::memory_order_relaxed), h.NextPacket.load(std::memory_order_relaxed),
          h.PacketsAllowed.load(std::memory_order_relaxed),
          h.Updates.load(std::memory_order_relaxed)};
}

void TClientThread::EndWindow(TCMHandshake& h, const HandshakeView& view) {
  cls::MutexLock lock(handshakeLock_);
  if (h.Updates.load(std::memory_order_relaxed) == view.Updates) {
    h.PacketsAllowed.store(0, std::memory_order_relaxed);
  }
}

void TClientThread::PacketSent(TCMHandshake& h, uint8_t sequence) {
  cls::MutexLock lock(handshakeLock_);
  const uint8_t allowed = h.PacketsAllowed.load(std::memory_order_relaxed);
  if (h.NextPacket.load(std::memory_order_relaxed) != sequence || allowed == 0) return;
  h.NextPacket.store(static_cast<uint8_t>(sequence + 1), std::memory_order_relaxed);
  h.PacketsAllowed.store(static_cast<uint8_t>(allowed - 1), std::memory_order_relaxed);
}

// A CTS, EndOfMsgAck or Abort from the peer of one of our transfers: it comes from that
// transfer's destination and goes to its source.
void TClientThread::UpdateHandshake(const J1939Frame& frame, const j1939::ConnectionControl& c) {
  const uint32_t pgn = c.PgnValue();
  cls::MutexLock lock(handshakeLock_);
  for (const auto& h : handshakes_) {
    if (!h->Matches(pgn, frame.PduSpecific, frame.SourceAddress)) continue;
    if (c.Control == j1939::kTpCmCts) h->SetClearToSend(c.Byte1, c.Byte2);
    if (c.Control == j1939::kTpCmEndOfMsgAck) h->SetComplete();
    if (c.Control == j1939::kTpCmAbort) h->SetAborted();
    return;
  }
}

void TClientThread::HandleTransportResult(const HuxMessage& message) {
  j1939::TransportResult result;
  if (!j1939::DecodeTransportResult(ViewOf(message), result)) return;
  cls::MutexLock lock(handshakeLock_);
  for (const auto& h : handshakes_) {
    if (!h->Matches(result.Pgn, result.SourceAddress, result.DestinationAddress)) continue;
    if (result.Success) {
      h->SetComplete();
    } else {
      h->SetAborted();
    }
    return;
  }
}

void TClientThread::CheckSessionTimeouts() {
  receive_.CheckSessionTimeouts(plat::GetTickCount());
}

QueuedMessage MakeQueuedMessage(const uint8_t* bytes, uint16_t length, uint32_t tick) {
  QueuedMessage queued;
  queued.Message.reset(new (std::nothrow) uint8_t[length]);
  if (!queued.Message) return queued;
  std::memcpy(queued.Message.get(), bytes, length);
  queued.Length = length;
  queued.Tick = tick;
  return queued;
}

void TClientThread::PushMessage(QueuedMessage message) {
  if (!message.Message) return;
  cls::MutexLock lock(messageMutex_);
  messages_.push_back(std::move(message));
  queuedCount_.store(messages_.size(), std::memory_order_release);
}

uint16_t TClientThread::PopMessage(uint8_t* buffer, uint16_t size) {
  if (QueuedCount() == 0) return 0;  // the common case answers without the lock
  QueuedMessage oldest;
  {
    cls::MutexLock lock(messageMutex_);
    if (messages_.empty()) return 0;
    oldest = std::move(messages_.front());
    messages_.pop_front();
    queuedCount_.store(messages_.size(), std::memory_order_release);
  }
  if (oldest.Length > size) return 0;  // discarded: it can never fit this caller's buffer
  std::memcpy(buffer, oldest.Message.get(), oldest.Length);
  return oldest.Length;
}

void TClientThread::ClearMessages() {
  std::deque<QueuedMessage> gone;  // freed after the lock is released
  cls::MutexLock lock(messageMutex_);
  gone.swap(messages_);
  queuedCount_.store(0, std::memory_order_release);
}

void TClientThread::ArmReply(uint8_t requestType) {
  awaitedType_.store(requestType, std::memory_order_relaxed);
  awaitingReply_.store(true, std::memory_order_release);
}

}  // namespace dral
