#include "client/ClientThread.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "client/ClientObj.h"
#include "plat/tick.h"

namespace dral {
namespace {

// Application message bytes before the data.
constexpr uint16_t kRawHeader = 2;    // protocol, type
constexpr uint16_t kJ1939Header = 7;  // protocol .. destination
constexpr uint16_t kJ1708Header = 2;  // protocol, header byte

// Fixed fields a server record must carry before its data.
constexpr uint16_t kCanFrameFixed = sizeof(CanFrameHeader);
constexpr uint16_t kJ1939FrameFixed = sizeof(J1939FrameHeader);
constexpr uint16_t kJ1939TransportFixed = 6;  // channel, source, destination, PS, PF, prio/DP
constexpr uint16_t kJ1708FrameFixed = sizeof(J1708FrameHeader);
constexpr uint16_t kReplyFixed = 2;    // request type, result
constexpr uint16_t kControlFixed = 4;  // up to the PduFormat byte

// The J1708 message byte the library delivers in place of the header it does not know.
constexpr uint8_t kJ1708ReceivedHeader = 0xFF;
constexpr uint8_t kGlobalAddress = 0xFF;

// PduFormat values of J1939 network management that the server routes as MsgJ1939Control.
constexpr uint8_t kPfTransportData = 0xEB;
constexpr uint8_t kPfTransportControl = 0xEC;
constexpr uint8_t kPfAddressClaimed = 0xEE;

uint8_t J1939Protocol(uint8_t channelBits) {
  return (channelBits & kChannelBit1) ? DRAL_PROTOCOL_J1939_CAN1 : DRAL_PROTOCOL_J1939_CAN2;
}

uint16_t DecodeRaw(const HuxMessage& m, uint8_t* out) {
  if (m.Length + kRawHeader > kQueuedMessageBytes) return 0;
  out[0] = DRAL_PROTOCOL_RAW;
  out[1] = m.Type;
  std::memcpy(out + kRawHeader, m.Data, m.Length);
  return static_cast<uint16_t>(m.Length + kRawHeader);
}

uint16_t DecodeCan(const HuxMessage& m, uint8_t* out) {
  if (m.Length < kCanFrameFixed || m.Length > kQueuedMessageBytes) return 0;
  const uint8_t bits = m.Data[0];
  uint8_t protocol = (bits & kChannelBit1) ? DRAL_PROTOCOL_CAN1 : DRAL_PROTOCOL_CAN2;
  if (!(bits & kExtendedIdBit)) protocol |= DRAL_PROTOCOL_STANDARD_ID;
  out[0] = protocol;
  std::memcpy(out + 1, m.Data + 1, m.Length - 1u);
  return m.Length;
}

uint16_t DecodeJ1939Frame(const HuxMessage& m, uint8_t* out) {
  const uint16_t dataBytes = static_cast<uint16_t>(m.Length - kJ1939FrameFixed);
  if (m.Length < kJ1939FrameFixed || kJ1939Header + dataBytes > kQueuedMessageBytes) return 0;
  const uint8_t pf = m.Data[3];
  const bool pdu2 = pf >= kPdu2FirstFormat;
  out[0] = J1939Protocol(m.Data[0]);
  out[1] = pdu2 ? m.Data[2] : 0;
  out[2] = pf;
  out[3] = m.Data[4] & 0x01;
  out[4] = (m.Data[4] >> 2) & 0x07;
  out[5] = m.Data[1];
  out[6] = pdu2 ? kGlobalAddress : m.Data[2];
  std::memcpy(out + kJ1939Header, m.Data + kJ1939FrameFixed, dataBytes);
  return static_cast<uint16_t>(kJ1939Header + dataBytes);
}

// Another client's whole multi-packet message, as the adapter-side transport carries it.
uint16_t DecodeJ1939Transport(const HuxMessage& m, uint8_t* out) {
  const uint16_t dataBytes = static_cast<uint16_t>(m.Length - kJ1939TransportFixed);
  if (m.Length < kJ1939TransportFixed || kJ1939Header + dataBytes > kQueuedMessageBytes) return 0;
  out[0] = J1939Protocol(m.Data[0]);
  out[1] = m.Data[3];
  out[2] = m.Data[4];
  out[3] = m.Data[5] & 0x01;
  out[4] = (m.Data[5] >> 2) & 0x07;
  out[5] = m.Data[1];
  out[6] = m.Data[2];
  std::memcpy(out + kJ1939Header, m.Data + kJ1939TransportFixed, dataBytes);
  return static_cast<uint16_t>(kJ1939Header + dataBytes);
}

uint16_t DecodeJ1708(const HuxMessage& m, uint8_t* out) {
  if (m.Length < kJ1708FrameFixed) return 0;
  const uint16_t claimed =
      static_cast<uint16_t>(m.Data[2] + ((m.Data[0] & kJ1708LengthBit8) ? 256 : 0));
  // In raw mode the server counts one byte more for a checksum that a copy from another client
  // does not carry; the message is still whole, so the count stops at the record's last byte.
  const uint16_t count = std::min(claimed, static_cast<uint16_t>(m.Length - kJ1708FrameFixed));
  out[0] = DRAL_PROTOCOL_J1708;
  out[1] = kJ1708ReceivedHeader;
  std::memcpy(out + kJ1708Header, m.Data + kJ1708FrameFixed, count);
  return static_cast<uint16_t>(kJ1708Header + count);
}

}  // namespace

uint16_t DecodeServerMessage(const HuxMessage& message, uint8_t* out) {
  if (message.Length > kHuxMaxData) return 0;
  switch (message.Type) {
    case MsgReply:
    case MsgAdapterData09:
      return DecodeRaw(message, out);
    case MsgCanFrame:
      return DecodeCan(message, out);
    case MsgJ1939Frame:
      return DecodeJ1939Frame(message, out);
    case MsgJ1939Transport:
      return DecodeJ1939Transport(message, out);
    case MsgJ1708Frame:
      return DecodeJ1708(message, out);
    default:
      return 0;
  }
}

TClientThread::TClientThread(bool createSuspended, THuxQueue* queue)
    : cls::TThread(createSuspended),
      queue_(queue),
      slot_(queue ? queue->Slot(queue->SlotIndex()) : nullptr) {
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
    case MsgReply:
      if (message.Length >= kReplyFixed && awaitingReply_.load(std::memory_order_acquire) &&
          awaitedType_.load(std::memory_order_relaxed) == message.Data[0]) {
        replyResult_.store(message.Data[1], std::memory_order_relaxed);
        awaitingReply_.store(false, std::memory_order_release);
      }
      break;
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

void TClientThread::HandleJ1939Control(const HuxMessage& message) {
  if (message.Length < kControlFixed) return;
  switch (message.Data[3]) {
    case kPfTransportData:
    case kPfTransportControl:
      // Seam: J1939 transport receive and the handshakes of outgoing transfers. Until they
      // exist, TP.CM and TP.DT records are taken off the ring and not answered.
      return;
    case kPfAddressClaimed:
      // Seam: address-claim delivery and defence. Until it exists, claims are not delivered.
      return;
    default:
      return;
  }
}

void TClientThread::HandleTransportResult(const HuxMessage& /*message*/) {
  // Seam: result of an adapter-side multi-packet send. No such send is started yet.
}

void TClientThread::CheckSessionTimeouts() {
  // Seam: time-outs of incoming J1939 transfers. No session is opened yet.
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
  std::lock_guard<std::mutex> lock(messageMutex_);
  messages_.push_back(std::move(message));
  queuedCount_.store(messages_.size(), std::memory_order_release);
}

uint16_t TClientThread::PopMessage(uint8_t* buffer, uint16_t size) {
  if (QueuedCount() == 0) return 0;  // the common case answers without the lock
  QueuedMessage oldest;
  {
    std::lock_guard<std::mutex> lock(messageMutex_);
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
  std::lock_guard<std::mutex> lock(messageMutex_);
  gone.swap(messages_);
  queuedCount_.store(0, std::memory_order_release);
}

void TClientThread::ArmReply(uint8_t requestType) {
  awaitedType_.store(requestType, std::memory_order_relaxed);
  awaitingReply_.store(true, std::memory_order_release);
}

}  // namespace dral
