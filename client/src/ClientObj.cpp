#include "client/ClientObj.h"

#include <bit>
#include <chrono>
#include <cstring>

#include "plat/debug.h"
#include "plat/tick.h"

namespace dral {
namespace {

// Application message lengths by protocol.
constexpr uint16_t kJ1939SingleFrameMax = 15;  // 7 + 8 data bytes; longer goes by transport
constexpr uint16_t kJ1708CountBit8 = 256;

// Application message offsets.
constexpr size_t kJ1939PduSpecific = 1;
constexpr size_t kJ1939PduFormat = 2;
constexpr size_t kJ1939DataPage = 3;
constexpr size_t kJ1939Priority = 4;
constexpr size_t kJ1939Source = 5;
constexpr size_t kJ1939Destination = 6;
constexpr size_t kJ1939Data = 7;
constexpr size_t kJ1708Header = 1;
constexpr size_t kJ1708Data = 2;
constexpr size_t kRawType = 1;
constexpr size_t kRawData = 2;

// Filter records.
constexpr uint8_t kFilterOpBits = 0x0F;  // the CAN setter looks only at these
constexpr uint8_t kPassAllBits = FilterOpPassAll << kFilterOpShift;    // 0x08
constexpr uint8_t kBlockAllBits = FilterOpBlockAll << kFilterOpShift;  // 0x0C
constexpr uint8_t kBlockBits = FilterOpBlock << kFilterOpShift;        // 0x04
constexpr uint16_t kBareEditLength = 1;
constexpr uint16_t kIdEditLength = sizeof(IdFilterEdit);
constexpr uint16_t kMidEditLength = sizeof(MidFilterEdit);
constexpr size_t kCanFilterDataBytes = 8;

// The link state in the block. Only the server writes it, and only these four values; any
// other was written by someone else and reads as no server.
uint16_t BlockLinkState(const ChannelHeader& header) {
  const uint16_t state = header.LinkState.load(std::memory_order_relaxed);
  switch (state) {
    case LinkStopped:
    case LinkSearching:
    case LinkConnected:
    case LinkNoServer:
      return state;
    default:
      return LinkNoServer;
  }
}

constexpr uint32_t kPgnPdu2Mask = 0x01FFFF00;
constexpr uint32_t kPgnPdu1Mask = 0x01FF0000;
constexpr uint32_t kPriorityMask = 0x1C000000;
constexpr uint32_t kSourceMask = 0x000000FF;
// Bit 31 makes the server apply the entry to PDU1 identifiers only.
constexpr uint32_t kDestinationMask = 0x8000FF00;

constexpr uint8_t kMaxClaimableAddress = 253;
constexpr const char* kThreadSlowText = "Receive thread slow to stop; still waiting for it.";

uint8_t CanChannelBits(uint8_t protocol) {
  uint8_t bits = (protocol & 0x01) ? kChannelBit1 : kChannelBit2;
  if (!(protocol & DRAL_PROTOCOL_STANDARD_ID)) bits |= kExtendedIdBit;
  return bits;
}

void BareEdit(HuxMessage& out, uint8_t type, uint8_t data0) {
  out.Type = type;
  out.Length = kBareEditLength;
  out.Data[0] = data0;
}

}  // namespace

void SignalServer(THuxQueue& queue) {
  queue.ServerEvent().Pulse();
}

uint32_t ClientEventGeneration(THuxQueue& queue) {
  plat::NamedEvent* event = queue.ClientEvent();
  return event ? event->Generation() : 0;
}

bool WaitForClientEvent(THuxQueue& queue, uint32_t seen, uint32_t ms) {
  plat::NamedEvent* event = queue.ClientEvent();
  if (!event) {
    plat::Sleep(ms);
    return false;
  }
  return event->WaitForChange(seen, ms) == plat::WaitResult::Signaled;
}

// ---- Encoders -------------------------------------------------------------------------------

bool EncodeCan(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < DRAL_CAN_MIN_LENGTH || length > DRAL_CAN_MAX_LENGTH) return false;
  out.Type = MsgCanFrame;
  out.Length = length;
  out.Data[0] = CanChannelBits(message[0]);
  std::memcpy(out.Data + 1, message + 1, length - 1u);  // identifier and data unchanged
  return true;
}

bool EncodeJ1939Frame(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < DRAL_J1939_MIN_LENGTH || length > kJ1939SingleFrameMax) return false;
  const uint8_t pf = message[kJ1939PduFormat];
  out.Type = MsgJ1939Frame;
  out.Length = static_cast<uint16_t>(length - 2);
  out.Data[0] = (message[0] & 0x02) ? kChannelBit1 : kChannelBit2;
  out.Data[1] = message[kJ1939Source];
  // PDU1 carries the destination in the PduSpecific position.
  out.Data[2] = pf < kPdu2FirstFormat ? message[kJ1939Destination] : message[kJ1939PduSpecific];
  out.Data[3] = pf;
  out.Data[4] = static_cast<uint8_t>((message[kJ1939Priority] & 0x07) << 2 |
                                     (message[kJ1939DataPage] & 0x01));
  std::memcpy(out.Data + sizeof(J1939FrameHeader), message + kJ1939Data, length - kJ1939Data);
  return true;
}

bool EncodeJ1708(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < DRAL_J1708_MIN_LENGTH || length > DRAL_J1708_MAX_LENGTH) return false;
  const uint16_t count = static_cast<uint16_t>(length - kJ1708Data);
  out.Type = MsgJ1708Frame;
  out.Length = static_cast<uint16_t>(sizeof(J1708FrameHeader) + count);
  out.Data[0] = count >= kJ1708CountBit8 ? kJ1708LengthBit8 : 0;
  out.Data[1] = message[kJ1708Header];
  out.Data[2] = static_cast<uint8_t>(count & 0xFF);
  std::memcpy(out.Data + sizeof(J1708FrameHeader), message + kJ1708Data, count);
  return true;
}

bool EncodeRaw(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < DRAL_RAW_MIN_LENGTH || length > DRAL_RAW_MAX_LENGTH) return false;
  out.Type = message[kRawType];
  out.Length = static_cast<uint16_t>(length - kRawData);
  std::memcpy(out.Data, message + kRawData, out.Length);
  return true;
}

void J1939FilterEntry(const DralJ1939FilterData& data, uint32_t& mask, uint32_t& value) {
  mask = 0;
  value = 0;
  const bool pgn = data.Fields & DRAL_J1939_FILTER_PGN;
  const bool pdu2 = data.PduFormat >= kPdu2FirstFormat;
  if (pgn) {
    value = static_cast<uint32_t>(data.PduFormat) << 16 | static_cast<uint32_t>(data.DataPage)
                                                              << 24;
    if (pdu2) {
      value |= static_cast<uint32_t>(data.PduSpecific) << 8;
      mask = kPgnPdu2Mask;
    } else {
      mask = kPgnPdu1Mask;
    }
  }
  if (data.Fields & DRAL_J1939_FILTER_PRIORITY) {
    value |= static_cast<uint32_t>(data.Priority & 0x07) << 26;
    mask |= kPriorityMask;
  }
  if (data.Fields & DRAL_J1939_FILTER_SOURCE) {
    value |= data.SourceAddress;
    mask |= kSourceMask;
  }
  // A PDU2 group named by the PGN has no destination to match.
  if ((data.Fields & DRAL_J1939_FILTER_DESTINATION) && (!pgn || !pdu2)) {
    value |= static_cast<uint32_t>(data.DestinationAddress) << 8;
    mask |= kDestinationMask;
  }
}

bool EncodeCanFilter(const uint8_t* data, uint8_t operation, bool standardId, uint8_t channel,
                     HuxMessage& out) {
  out.Type = MsgCanFilter;
  switch (operation & kFilterOpBits) {
    case DRAL_FILTER_PASS_ALL:
      BareEdit(out, MsgCanFilter, channel | kPassAllBits);
      return true;
    case DRAL_FILTER_BLOCK_ALL:
      BareEdit(out, MsgCanFilter, channel | kBlockAllBits);
      return true;
    case DRAL_FILTER_PASS:
      out.Data[0] = static_cast<uint8_t>(channel | (standardId ? 0 : kExtendedIdBit));
      break;
    case DRAL_FILTER_BLOCK:
      // The standard-identifier flag of a block edit travels in the operation byte.
      out.Data[0] = static_cast<uint8_t>(
          (channel | kBlockBits) | ((operation & DRAL_FILTER_STANDARD_ID) ? 0 : kExtendedIdBit));
      break;
    default:
      return false;
  }
  out.Length = kIdEditLength;
  std::memcpy(out.Data + 1, data, kCanFilterDataBytes);
  return true;
}

bool EncodeJ1939Filter(const uint8_t* data, uint8_t operation, uint8_t channel, HuxMessage& out) {
  out.Type = MsgJ1939Filter;
  switch (operation) {
    case DRAL_FILTER_PASS_ALL:
      BareEdit(out, MsgJ1939Filter, channel | kPassAllBits);
      return true;
    case DRAL_FILTER_BLOCK_ALL:
      BareEdit(out, MsgJ1939Filter, channel | kBlockAllBits);
      return true;
    case DRAL_FILTER_PASS:
      out.Data[0] = channel;
      break;
    case DRAL_FILTER_BLOCK:
      out.Data[0] = channel | kBlockBits;
      break;
    default:
      return false;
  }
  DralJ1939FilterData fields;
  std::memcpy(&fields, data, sizeof fields);
  uint32_t mask = 0;
  uint32_t value = 0;
  J1939FilterEntry(fields, mask, value);
  out.Length = kIdEditLength;
  PutU32(out.Data + offsetof(IdFilterEdit, Mask), mask);
  PutU32(out.Data + offsetof(IdFilterEdit, Value), value);
  return true;
}

bool EncodeJ1708Filter(const uint8_t* data, uint8_t operation, HuxMessage& out) {
  out.Type = MsgJ1708Filter;
  switch (operation) {
    case DRAL_FILTER_PASS_ALL:
      BareEdit(out, MsgJ1708Filter, FilterOpPassAll);
      return true;
    case DRAL_FILTER_BLOCK_ALL:
      BareEdit(out, MsgJ1708Filter, FilterOpBlockAll);
      return true;
    case DRAL_FILTER_PASS:
      out.Data[0] = FilterOpPass;
      break;
    case DRAL_FILTER_BLOCK:
      out.Data[0] = FilterOpBlock;
      break;
    default:
      return false;
  }
  out.Length = kMidEditLength;
  out.Data[1] = data[0];
  return true;
}

// ---- TDralClient ----------------------------------------------------------------------------

TDralClient::~TDralClient() {
  if (Disconnect()) return;
  // Destroyed on its own receive thread (the process ends from inside a callback): the thread
  // cannot wait for itself, so it and its queue stay allocated until the process is gone.
  (void)thread_.release();
  (void)queue_.release();
}

bool TDralClient::Connect() {
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  if (connected_.load(std::memory_order_relaxed)) return true;
  try {
    auto queue = std::make_unique<THuxQueue>(true);
    if (queue->SlotIndex() < 0 || queue->SlotIndex() >= kSlotCount) return false;
    auto thread = std::make_unique<TClientThread>(true, queue.get());
    thread->SetAddressHeld(false);
    thread->Start();
    slot_ = queue->Slot(queue->SlotIndex());
    queue_ = std::move(queue);
    thread_ = std::move(thread);
    connected_.store(true, std::memory_order_release);
  } catch (...) {
    // No slot is held: the queue's destructor released it.
  }
  return connected_.load(std::memory_order_relaxed);
}

bool TDralClient::Disconnect() {
  std::unique_ptr<TClientThread> thread;
  std::unique_ptr<THuxQueue> queue;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (!connected_.load(std::memory_order_relaxed)) return true;
    if (thread_ && thread_->IsCurrentThread()) return false;
    HuxMessage edit;
    if (j1939FilterUsed_.load()) {
      BareEdit(edit, MsgJ1939Filter, kBlockAllBothChannels);
      SendLocked(edit);
    }
    if (canFilterUsed_.load()) {
      BareEdit(edit, MsgCanFilter, kBlockAllBothChannels);
      SendLocked(edit);
    }
    if (j1708FilterUsed_.load()) {
      BareEdit(edit, MsgJ1708Filter, kJ1708BlockAll);
      SendLocked(edit);
    }
    connected_.store(false, std::memory_order_release);
    thread = std::move(thread_);
    queue = std::move(queue_);
    slot_ = nullptr;
  }
  // The thread is stopped outside the lock: a callback running on it may still be inside a
  // call of this connection, which now answers as unconnected instead of waiting for us.
  if (thread) {
    thread->Terminate();
    // Waited for until it has ended: a thread left running would run on in the library's code,
    // which a dlclose unmaps. Its loop runs library code only, with bounded waits, and looks at
    // Terminated between records, so it ends within one pass.
    while (!thread->WaitFor(kThreadStopTimeoutMs)) plat::OutputDebugString(kThreadSlowText);
  }
  thread.reset();
  queue.reset();  // releases the slot
  return true;
}

bool TDralClient::SendLocked(const HuxMessage& message) {
  if (!connected_.load(std::memory_order_acquire) || !queue_) return false;
  const bool put = queue_->Put(&slot_->ToServer, &message);
  SignalServer(*queue_);
  return put;
}

bool TDralClient::Send(const HuxMessage& message) {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return SendLocked(message);
}

uint32_t TDralClient::SendEncoded(bool encoded, const HuxMessage& message) {
  if (!encoded) return DRAL_ERR_SEND_FAILED;
  return Send(message) ? DRAL_OK : DRAL_ERR_SEND_FAILED;
}

uint32_t TDralClient::PutCan(const uint8_t* message, uint16_t length) {
  if (!Connected()) return DRAL_ERR_SEND_FAILED;
  HuxMessage m;
  return SendEncoded(EncodeCan(message, length, m), m);
}

uint32_t TDralClient::PutJ1939(const uint8_t* message, uint16_t length) {
  if (!Connected()) return DRAL_ERR_SEND_FAILED;
  if (length > kJ1939SingleFrameMax) return StartTransport(message, length);
  HuxMessage m;
  return SendEncoded(EncodeJ1939Frame(message, length, m), m);
}

uint32_t TDralClient::PutJ1708(const uint8_t* message, uint16_t length) {
  HuxMessage m;
  return SendEncoded(EncodeJ1708(message, length, m), m);
}

uint32_t TDralClient::PutRaw(const uint8_t* message, uint16_t length) {
  HuxMessage m;
  return SendEncoded(EncodeRaw(message, length, m), m);
}

uint32_t TDralClient::StartTransport(const uint8_t* /*message*/, uint16_t /*length*/) {
  // Seam: J1939 multi-packet send. Until it exists such messages are refused.
  return DRAL_ERR_SEND_FAILED;
}

uint16_t TDralClient::GetMessage(uint8_t* buffer, uint16_t size) {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return 0;
  return thread_->PopMessage(buffer, size);
}

uint32_t TDralClient::RequestFilter(const HuxMessage& request, std::atomic<bool>& usedFlag) {
  usedFlag.store(true);  // set whatever the outcome: the server may have applied the edit
  {
    std::unique_lock<std::mutex> turn(filterTurnMutex_);
    if (!filterTurnFree_.wait_for(turn, std::chrono::milliseconds(kFilterTurnTimeoutMs),
                                  [this] { return !filterBusy_; })) {
      return DRAL_ERR_FILTER_NO_REPLY;
    }
    filterBusy_ = true;
  }
  struct TurnEnd {
    TDralClient& client;
    ~TurnEnd() {
      {
        std::lock_guard<std::mutex> turn(client.filterTurnMutex_);
        client.filterBusy_ = false;
      }
      client.filterTurnFree_.notify_one();
    }
  } turnEnd{*this};
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return DRAL_ERR_FILTER_NO_REPLY;
  thread_->ArmReply(request.Type);
  if (!SendLocked(request)) {
    thread_->DisarmReply();
    return DRAL_ERR_FILTER_NO_REPLY;
  }
  const uint32_t start = plat::GetTickCount();
  while (thread_->AwaitingReply() && !plat::TickElapsed(start, kFilterReplyTimeoutMs)) {
    plat::Sleep(kFilterReplyPollMs);
  }
  if (thread_->AwaitingReply()) {
    thread_->DisarmReply();  // a late reply is then only delivered as a message
    return DRAL_ERR_FILTER_NO_REPLY;
  }
  return thread_->ReplyResult() == ReplyOk ? DRAL_OK : DRAL_ERR_FILTER_REFUSED;
}

uint32_t TDralClient::SetCanFilter(const uint8_t* data, uint8_t operation, bool standardId,
                                   uint8_t channel) {
  HuxMessage request;
  if (!EncodeCanFilter(data, operation, standardId, channel, request)) {
    return DRAL_ERR_FILTER_INVALID;
  }
  return RequestFilter(request, canFilterUsed_);
}

uint32_t TDralClient::SetJ1939Filter(const uint8_t* data, uint8_t operation, uint8_t channel) {
  HuxMessage request;
  if (!EncodeJ1939Filter(data, operation, channel, request)) return DRAL_ERR_FILTER_INVALID;
  return RequestFilter(request, j1939FilterUsed_);
}

uint32_t TDralClient::SetJ1708Filter(const uint8_t* data, uint8_t operation) {
  HuxMessage request;
  if (!EncodeJ1708Filter(data, operation, request)) return DRAL_ERR_FILTER_INVALID;
  return RequestFilter(request, j1708FilterUsed_);
}

bool TDralClient::GetStatus(uint16_t& linkState) const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return false;
  linkState = LinkStateLocked();
  return true;
}

uint16_t TDralClient::LinkStateLocked() const {
  // The header keeps the last state a server wrote, also after that server died.
  if (!IsServerAlive()) return LinkNoServer;
  return BlockLinkState(queue_->Block()->Header);
}

bool TDralClient::GetAdapterVersion(uint8_t* buffer) const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return false;
  const ChannelHeader& header = queue_->Block()->Header;
  for (size_t i = 0; i < std::size(header.AdapterVersion); ++i) {
    buffer[i] = header.AdapterVersion[i].load(std::memory_order_relaxed);
  }
  return true;
}

bool TDralClient::GetAdapterStatus(uint8_t* buffer) const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return false;
  const ChannelHeader& header = queue_->Block()->Header;
  DralAdapterStatus status;
  status.LinkState = static_cast<uint8_t>(LinkStateLocked());
  status.Connections =
      static_cast<uint8_t>(std::popcount(header.SlotMask.load(std::memory_order_relaxed)));
  status.Can1Status = header.Can1Status.load(std::memory_order_relaxed);
  status.Can2Status = header.Can2Status.load(std::memory_order_relaxed);
  status.J1708Status = header.J1708Status.load(std::memory_order_relaxed);
  status.OtherStatus = header.OtherStatus.load(std::memory_order_relaxed);
  std::memcpy(buffer, &status, sizeof status);
  return true;
}

bool TDralClient::SetAddressLostCallback(DRAL_AddressLostCallback callback) {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return false;
  thread_->SetAddressLostCallback(callback);
  return true;
}

uint32_t TDralClient::ClaimAddress(uint8_t /*protocol*/, uint8_t address, const uint8_t* /*name*/) {
  if (address > kMaxClaimableAddress) return DRAL_ERR_ADDRESS_RANGE;
  // Seam: J1939 address claim. Until it exists no claim is made.
  return DRAL_ERR_CLAIM_FAILED;
}

void TDralClient::ReleaseAddress(uint8_t protocol) {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return;
  int channel = -1;
  if (protocol == DRAL_PROTOCOL_J1939_CAN1) channel = 0;
  if (protocol == DRAL_PROTOCOL_J1939_CAN2) channel = 1;
  if (channel < 0) return;
  // Nothing is sent and the NAME stays: the address is simply no longer ours to defend.
  slot_->Claimed[channel].Address.store(kNoAddress, std::memory_order_release);
}

bool TDralClient::OnReceiveThread() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return thread_ && thread_->IsCurrentThread();
}

int TDralClient::SlotIndex() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return queue_ ? queue_->SlotIndex() : -1;
}

}  // namespace dral
