// Channel records as byte vectors, and a client connection made as the client library makes it:
// a client-mode queue that takes a slot in the channel block. Header only; the user links the
// channel library.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "channel/HuxIPC.h"
#include "plat/liveness_lock.h"

namespace dral_test {

using Bytes = std::vector<uint8_t>;

inline dral::HuxMessage MakeMessage(uint8_t type, const Bytes& data) {
  dral::HuxMessage m{};
  m.Type = type;
  m.Length = static_cast<uint16_t>(data.size());
  if (!data.empty()) std::memcpy(m.Data, data.data(), data.size());
  return m;
}

inline Bytes DataOf(const dral::HuxMessage& m) { return Bytes(m.Data, m.Data + m.Length); }

// One client connection: a slot of its own, requests into ToServer, deliveries out of ToClient.
class TestClient {
 public:
  TestClient() : queue_(std::make_unique<dral::THuxQueue>(true)) {}
  int Slot() const { return queue_->SlotIndex(); }
  dral::ChannelBlock& Block() { return *queue_->Block(); }
  plat::NamedEvent* Event() { return queue_->ClientEvent(); }
  dral::ClientSlot& Record() { return *queue_->Slot(Slot()); }

  bool Put(uint8_t type, const Bytes& data) { return Put(MakeMessage(type, data)); }
  bool Put(const dral::HuxMessage& m) { return queue_->Put(&Record().ToServer, &m); }
  void SignalServer() { queue_->ServerEvent().Pulse(); }
  uint16_t Pending() { return queue_->Count(&Record().ToServer); }
  // Ends the slot's liveness lock as the death of its process would, leaving the slot as it is.
  void ForgetLiveness() { plat::LivenessLock::Remove(dral::SlotLockName(Slot())); }
  uint16_t Received() { return queue_->Count(&Record().ToClient); }

  std::optional<dral::HuxMessage> Take() {
    dral::HuxMessage m{};
    if (!queue_->Peek(&Record().ToClient, &m)) return std::nullopt;
    queue_->Remove(&Record().ToClient);
    return m;
  }
  std::vector<dral::HuxMessage> TakeAll() {
    std::vector<dral::HuxMessage> all;
    while (auto m = Take()) all.push_back(*m);
    return all;
  }

 private:
  std::unique_ptr<dral::THuxQueue> queue_;
};

}  // namespace dral_test
