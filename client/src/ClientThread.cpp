#include "client/ClientThread.h"

#include <cstring>
#include <new>

#include "client/ClientObj.h"
#include "plat/tick.h"

namespace dral {
namespace {

// PduFormat values of J1939 network management that the server routes as MsgJ1939Control.
constexpr uint8_t kPfTransportData = 0xEB;
constexpr uint8_t kPfTransportControl = 0xEC;
constexpr uint8_t kPfAddressClaimed = 0xEE;

}  // namespace

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

void TClientThread::HandleJ1939Control(const HuxMessage& message) {
  J1939Frame frame;
  if (!DecodeJ1939Frame(ViewOf(message), frame)) return;
  switch (frame.PduFormat) {
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
