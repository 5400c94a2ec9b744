#include "client/ClientObj.h"

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "client/TPThread.h"
#include "plat/debug.h"
#include "plat/tick.h"

namespace dral {

// The codec's application layouts are the public header's.
static_assert(app::kProtocolCan1 == DRAL_PROTOCOL_CAN1 && app::kProtocolCan2 == DRAL_PROTOCOL_CAN2);
static_assert(app::kProtocolJ1939Can1 == DRAL_PROTOCOL_J1939_CAN1 &&
              app::kProtocolJ1939Can2 == DRAL_PROTOCOL_J1939_CAN2);
static_assert(app::kProtocolJ1708 == DRAL_PROTOCOL_J1708 && app::kProtocolRaw == DRAL_PROTOCOL_RAW);
static_assert(app::kProtocolStandardId == DRAL_PROTOCOL_STANDARD_ID);
static_assert(app::kCanMinLength == DRAL_CAN_MIN_LENGTH && app::kCanMaxLength == DRAL_CAN_MAX_LENGTH);
static_assert(app::kJ1939MinLength == DRAL_J1939_MIN_LENGTH &&
              app::kJ1939MaxLength == DRAL_J1939_MAX_LENGTH);
static_assert(app::kJ1708MinLength == DRAL_J1708_MIN_LENGTH &&
              app::kJ1708MaxLength == DRAL_J1708_MAX_LENGTH);
static_assert(app::kRawMinLength == DRAL_RAW_MIN_LENGTH && app::kRawMaxLength == DRAL_RAW_MAX_LENGTH);
static_assert(app::kMaxReceivedLength == DRAL_MAX_MESSAGE_LENGTH);
static_assert(app::kJ1939Broadcast == DRAL_J1939_BROADCAST);
static_assert(offsetof(DralJ1939Message, Data) == app::kJ1939Data &&
              offsetof(DralJ1939Message, DestinationAddress) == app::kJ1939Destination);
static_assert(offsetof(DralJ1708Message, Data) == app::kJ1708Data);
static_assert(offsetof(DralRawMessage, Data) == app::kRawData);
static_assert(app::kFilterPassAll == DRAL_FILTER_PASS_ALL &&
              app::kFilterBlockAll == DRAL_FILTER_BLOCK_ALL && app::kFilterPass == DRAL_FILTER_PASS &&
              app::kFilterBlock == DRAL_FILTER_BLOCK &&
              app::kFilterStandardId == DRAL_FILTER_STANDARD_ID);
static_assert(offsetof(DralFilter, Data) == app::kFilterData &&
              sizeof(DralCanFilterData) == app::kCanFilterDataBytes);
static_assert(sizeof(DralJ1939FilterData) == sizeof(app::J1939FilterFields) &&
              offsetof(DralJ1939FilterData, DestinationAddress) ==
                  offsetof(app::J1939FilterFields, DestinationAddress));
static_assert(app::kJ1939FilterPgn == DRAL_J1939_FILTER_PGN &&
              app::kJ1939FilterPriority == DRAL_J1939_FILTER_PRIORITY &&
              app::kJ1939FilterSource == DRAL_J1939_FILTER_SOURCE &&
              app::kJ1939FilterDestination == DRAL_J1939_FILTER_DESTINATION);

namespace {

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

constexpr uint8_t kMaxClaimableAddress = 253;
constexpr uint16_t kMaxTransportLength = app::kJ1939Data + j1939::kMaxTransportBytes;

constexpr const char* kThreadSlowText = "Receive thread slow to stop; still waiting for it.";

// The channel index (0, 1) of a J1939 protocol (2, 5); -1 for any other.
int J1939ChannelIndex(uint8_t protocol) {
  if (protocol == DRAL_PROTOCOL_J1939_CAN1) return 0;
  if (protocol == DRAL_PROTOCOL_J1939_CAN2) return 1;
  return -1;
}

// A bare filter edit (no entry) of `type`.
HuxMessage BareEdit(uint8_t type, uint8_t data0) {
  HuxMessage m{};
  m.Type = type;
  m.Length = 1;
  m.Data[0] = data0;
  return m;
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

// ---- TDralClient ----------------------------------------------------------------------------

TDralClient::~TDralClient() {
  if (Disconnect()) {
    // A thread given up on that still runs keeps its queue and itself for good; one that has
    // ended is joined and freed with its queue by the members' destructors.
    if (ThreadLeftRunning()) {
      cls::WriterLock lock(stateLock_);
      (void)leftThread_.release();
      (void)leftQueue_.release();
    }
    return;
  }
  // Destroyed on its own receive thread (the process ends from inside a callback): the thread
  // cannot wait for itself, so it and its queue stay allocated until the process is gone. The
  // connection's sends use both; they are ended now all the same.
  ProcessTransportList().StopFor(this);
  (void)thread_.release();
  (void)queue_.release();
}

bool TDralClient::Connect() {
  cls::WriterLock lock(stateLock_);
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
    cls::WriterLock lock(stateLock_);
    if (!connected_.load(std::memory_order_relaxed)) return true;
    if (thread_ && thread_->IsCurrentThread()) return false;
    if (j1939FilterUsed_.load()) SendLocked(BareEdit(MsgJ1939Filter, kBlockAllBothChannels));
    if (canFilterUsed_.load()) SendLocked(BareEdit(MsgCanFilter, kBlockAllBothChannels));
    if (j1708FilterUsed_.load()) SendLocked(BareEdit(MsgJ1708Filter, kJ1708BlockAll));
    connected_.store(false, std::memory_order_release);
    thread = std::move(thread_);
    queue = std::move(queue_);
    slot_ = nullptr;
  }
  // The connection's multi-packet sends use its queue and its receive thread's handshakes:
  // they are ended and waited for before either is freed. None can start any more (a start
  // lists its thread under the shared lock, and the connection no longer answers as connected).
  ProcessTransportList().StopFor(this);
  // The thread is stopped outside the lock: a callback running on it may still be inside a
  // call of this connection, which now answers as unconnected instead of waiting for us.
  if (thread) {
    thread->Terminate();
    if (callbackSet_.load(std::memory_order_acquire)) {
      // Application code may hold the thread up, also waiting for something the caller holds:
      // given up on after the bound. The library stays loaded for it, so it may run on; it and
      // its queue are kept until it has ended.
      if (!thread->WaitFor(kThreadGiveUpMs)) {
        cls::WriterLock lock(stateLock_);
        leftThread_ = std::move(thread);
        leftQueue_ = std::move(queue);
        return true;
      }
    } else {
      // Waited for until it has ended: a thread left running would run on in the library's
      // code, which a dlclose unmaps. Its loop runs library code only, with bounded waits, and
      // looks at Terminated between records, so it ends within one pass.
      while (!thread->WaitFor(kThreadStopTimeoutMs)) plat::OutputDebugString(kThreadSlowText);
    }
  }
  thread.reset();
  queue.reset();  // releases the slot
  return true;
}

bool TDralClient::ThreadLeftRunning() const {
  cls::ReaderLock lock(stateLock_);
  return leftThread_ && !leftThread_->Finished();
}

bool TDralClient::SendLocked(const HuxMessage& message) {
  if (!connected_.load(std::memory_order_acquire) || !queue_) return false;
  const bool put = queue_->Put(&slot_->ToServer, &message);
  SignalServer(*queue_);
  return put;
}

bool TDralClient::Send(const HuxMessage& message) {
  cls::ReaderLock lock(stateLock_);
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
  if (length > app::kJ1939SingleFrameMax) return StartTransport(message, length);
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

uint32_t TDralClient::StartTransport(const uint8_t* message, uint16_t length) {
  if (length > kMaxTransportLength || length <= app::kJ1939SingleFrameMax) {
    return DRAL_ERR_SEND_FAILED;
  }
  const bool broadcast = message[app::kJ1939Priority] & app::kJ1939Broadcast;
  const uint8_t destination = broadcast ? j1939::kGlobalAddress : message[app::kJ1939Destination];
  const int channel = (message[0] & 0x02) ? 0 : 1;
  TTransportList& transports = ProcessTransportList();
  transports.Reap();
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return DRAL_ERR_SEND_FAILED;
  // A connection to one node needs an address of ours on that channel, and goes from it.
  if (destination != j1939::kGlobalAddress &&
      thread_->HeldAddress(channel) != message[app::kJ1939Source]) {
    return DRAL_ERR_NO_ADDRESS;
  }
  if (transports.IsBusy(destination)) plat::Sleep(kTransportBusyRetryMs);
  try {
    auto thread = std::make_unique<TTransportThread>(true, length, message, queue_.get(),
                                                     thread_.get());
    TTransportThread* listed = transports.AddUnlessBusy(std::move(thread), this);
    if (!listed) return DRAL_ERR_TRANSPORT_BUSY;
    try {
      listed->Start();
    } catch (...) {
      transports.RemoveUnstarted(listed);
      return DRAL_ERR_SEND_FAILED;
    }
  } catch (...) {
    return DRAL_ERR_SEND_FAILED;
  }
  return DRAL_OK;
}

bool TDralClient::IsTransportBusy(uint8_t destination) {
  return ProcessTransportList().IsBusy(destination);
}

uint16_t TDralClient::GetMessage(uint8_t* buffer, uint16_t size) {
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return 0;
  return thread_->PopMessage(buffer, size);
}

uint32_t TDralClient::RequestFilter(const HuxMessage& request, std::atomic<bool>& usedFlag) {
  usedFlag.store(true);  // set whatever the outcome: the server may have applied the edit
  {
    cls::MutexLock turn(filterTurnMutex_);
    const auto turnFree = [this]() REQUIRES(filterTurnMutex_) { return !filterBusy_; };
    if (!filterTurnFree_.wait_for(filterTurnMutex_,
                                  std::chrono::milliseconds(kFilterTurnTimeoutMs), turnFree)) {
      return DRAL_ERR_FILTER_NO_REPLY;
    }
    filterBusy_ = true;
  }
  struct TurnEnd {
    TDralClient& client;
    ~TurnEnd() {
      {
        cls::MutexLock turn(client.filterTurnMutex_);
        client.filterBusy_ = false;
      }
      client.filterTurnFree_.notify_one();
    }
  } turnEnd{*this};
  cls::ReaderLock lock(stateLock_);
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
  cls::ReaderLock lock(stateLock_);
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
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return false;
  const ChannelHeader& header = queue_->Block()->Header;
  for (size_t i = 0; i < std::size(header.AdapterVersion); ++i) {
    buffer[i] = header.AdapterVersion[i].load(std::memory_order_relaxed);
  }
  return true;
}

bool TDralClient::GetAdapterStatus(uint8_t* buffer) const {
  cls::ReaderLock lock(stateLock_);
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
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return false;
  if (callback) callbackSet_.store(true, std::memory_order_release);
  thread_->SetAddressLostCallback(callback);
  return true;
}

uint32_t TDralClient::ClaimAddress(uint8_t protocol, uint8_t address, const uint8_t* name) {
  if (address > kMaxClaimableAddress) return DRAL_ERR_ADDRESS_RANGE;
  const int channel = J1939ChannelIndex(protocol);
  if (channel < 0) return DRAL_ERR_CLAIM_FAILED;  // a claim on no channel would claim nothing
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire) || !thread_) return DRAL_ERR_CLAIM_FAILED;
  // Held before the claim goes out, so that an immediate contest is defended.
  thread_->BeginClaim(channel, address);
  const uint8_t channelBits = channel == 0 ? kChannelBit1 : kChannelBit2;
  if (!SendLocked(j1939::AddressClaimRecord(channelBits, address, name))) {
    thread_->EndClaim(channel);
    return DRAL_ERR_CLAIM_FAILED;
  }
  const uint32_t start = plat::GetTickCount();
  while (thread_->HeldAddress(channel) == address && !plat::TickElapsed(start, kClaimWaitMs)) {
    plat::Sleep(kClaimPollMs);
  }
  return thread_->HeldAddress(channel) == address ? DRAL_OK : DRAL_ERR_CLAIM_FAILED;
}

void TDralClient::ReleaseAddress(uint8_t protocol) {
  cls::ReaderLock lock(stateLock_);
  if (!connected_.load(std::memory_order_acquire)) return;
  const int channel = J1939ChannelIndex(protocol);
  if (channel < 0) return;
  // Nothing is sent and the NAME stays: the address is simply no longer ours to defend or to
  // send from.
  thread_->EndClaim(channel);
  slot_->Claimed[channel].Address.store(kNoAddress, std::memory_order_release);
}

bool TDralClient::OnReceiveThread() const {
  cls::ReaderLock lock(stateLock_);
  return thread_ && thread_->IsCurrentThread();
}

int TDralClient::SlotIndex() const {
  cls::ReaderLock lock(stateLock_);
  return queue_ ? queue_->SlotIndex() : -1;
}

}  // namespace dral
