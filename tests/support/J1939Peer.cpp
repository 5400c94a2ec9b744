#include "testsupport/J1939Peer.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace dral_test {
namespace {

constexpr size_t kChannel = 0, kSource = 1, kSpecific = 2, kFormat = 3, kPayload = 5;
constexpr size_t kControl = 5, kPgnAt = 10, kSequence = 5, kPacketData = 6;
constexpr size_t kTpCmLength = 13, kClaimLength = 13;
constexpr size_t kPacketBytes = 7;
constexpr uint16_t kBamKey = 0x100;
// Transport record of the host (MsgJ1939Transport): channel, source, destination, PS, PF,
// priority << 2 | data page, data.
constexpr size_t kTransportFixed = 6;
constexpr uint8_t kClaimPriority = 6;

bool IsHostJ1939(uint8_t type) {
  return type == sim::kJ1939Frame || type == sim::kJ1939Control;
}

Pgn PgnAt(const Bytes& d, size_t at) {
  return d[at] | d[at + 1] << 8 | d[at + 2] << 16;
}

uint8_t PacketCount(size_t size) {
  return static_cast<uint8_t>((size + kPacketBytes - 1) / kPacketBytes);
}

}  // namespace

Bytes J1939Record(uint8_t channelBits, uint8_t source, uint8_t pduSpecific, uint8_t pduFormat,
                  uint8_t priority, const Bytes& payload) {
  Bytes d;
  d.reserve(kPayload + payload.size());
  for (uint8_t b : {channelBits, source, pduSpecific, pduFormat,
                    static_cast<uint8_t>((priority & 7) << 2)})
    d.push_back(b);
  for (uint8_t b : payload) d.push_back(b);
  return d;
}

Bytes TpCmRecord(uint8_t channelBits, uint8_t source, uint8_t destination, uint8_t control,
                 const std::array<uint8_t, 4>& fields, Pgn pgn, uint8_t priority) {
  return J1939Record(channelBits, source, destination, j1939::kPfTransportControl, priority,
                     {control, fields[0], fields[1], fields[2], fields[3],
                      static_cast<uint8_t>(pgn), static_cast<uint8_t>(pgn >> 8),
                      static_cast<uint8_t>(pgn >> 16)});
}

MessagePredicate IsJ1939Pf(uint8_t pf, uint8_t control) {
  return [pf, control](const AdapterMessage& m) {
    if (!IsHostJ1939(m.Type) || m.Data.size() <= kFormat || m.Data[kFormat] != pf) return false;
    return control == 0 || (m.Data.size() > kControl && m.Data[kControl] == control);
  };
}

J1939Peer::J1939Peer(AdapterSimulator& adapter, uint8_t channelBits, uint8_t address)
    : adapter_(adapter), channelBits_(channelBits), address_(address) {
  adapter_.AddListener(this);
}

J1939Peer::~J1939Peer() {
  adapter_.RemoveListener(this);
}

void J1939Peer::SetCtsWindow(uint8_t packets) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = packets;
}

void J1939Peer::SetAnswering(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  answering_ = on;
}

void J1939Peer::AbortNextRts(uint8_t reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  abortNextRts_ = reason;
}

void J1939Peer::GrantWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [key, session] : sessions_) {
    if (!session.Broadcast && session.WindowEnd < session.Next) SendCtsLocked(key & 0xFF, session);
  }
}

std::vector<J1939Peer::Transfer> J1939Peer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool J1939Peer::WaitForReceived(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return received_.size() >= count; });
}

void J1939Peer::SetTransportResult(TransportResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  transportResult_ = result;
}

void J1939Peer::Contest(uint8_t address, const J1939Name& name, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  contests_[address] = {name, times};
}

void J1939Peer::Claim(uint8_t address, const J1939Name& name, uint8_t destination) {
  adapter_.InjectMessage(sim::kJ1939Control,
                         J1939Record(channelBits_, address, destination, j1939::kPfAddressClaimed,
                                     kClaimPriority, Bytes(name.begin(), name.end())));
}

void J1939Peer::SendTpCm(uint8_t destination, uint8_t control,
                         const std::array<uint8_t, 4>& fields, Pgn pgn) {
  adapter_.InjectMessage(sim::kJ1939Control,
                         TpCmRecord(channelBits_, address_, destination, control, fields, pgn));
}

void J1939Peer::SendPacket(uint8_t destination, uint8_t sequence, const Bytes& data) {
  Bytes payload{sequence};
  for (size_t i = 0; i < kPacketBytes; ++i) {
    const size_t at = (sequence - 1u) * kPacketBytes + i;
    payload.push_back(at < data.size() ? data[at] : 0xFF);
  }
  adapter_.InjectMessage(sim::kJ1939Control,
                         J1939Record(channelBits_, address_, destination,
                                     j1939::kPfTransportData, 7, payload));
}

void J1939Peer::Abort(uint8_t destination, Pgn pgn, uint8_t reason) {
  SendTpCm(destination, j1939::kTpCmAbort, {reason, 0xFF, 0xFF, 0xFF}, pgn);
}

// ---- the host's traffic -------------------------------------------------------------------------

void J1939Peer::OnHostMessage(const AdapterMessage& m) {
  const Bytes& d = m.Data;
  std::lock_guard<std::mutex> lock(mutex_);
  if (m.Type == sim::kJ1939Transport) {
    OnTransportLocked(d);
    return;
  }
  if (!IsHostJ1939(m.Type) || d.size() < kPayload || (d[kChannel] & channelBits_) == 0) return;
  switch (d[kFormat]) {
    case j1939::kPfTransportControl:
      OnTpCmLocked(d);
      break;
    case j1939::kPfTransportData:
      OnTpDtLocked(d);
      break;
    case j1939::kPfAddressClaimed:
      OnClaimLocked(d);
      break;
    default:
      break;
  }
}

void J1939Peer::OnTpCmLocked(const Bytes& d) {
  if (d.size() < kTpCmLength) return;
  const uint8_t source = d[kSource], destination = d[kSpecific], control = d[kControl];
  const bool bam = control == j1939::kBam && destination == j1939::kGlobal;
  if (!bam && destination != address_) return;
  if (control == j1939::kCts || control == j1939::kTpCmEndOfMsgAck || control == j1939::kTpCmAbort) {
    if (control == j1939::kTpCmAbort) sessions_.erase(source);
    answers_.push_back(d);
    changed_.notify_all();
    return;
  }
  if (control != j1939::kRts && !bam) return;
  if (!bam && !answering_) return;
  const Pgn pgn = PgnAt(d, kPgnAt);
  if (!bam && abortNextRts_) {
    SendTpCm(source, j1939::kTpCmAbort, {*abortNextRts_, 0xFF, 0xFF, 0xFF}, pgn);
    abortNextRts_.reset();
    return;
  }
  Session s;
  s.Broadcast = bam;
  s.Group = pgn;
  s.Size = static_cast<uint16_t>(d[kControl + 1] | d[kControl + 2] << 8);
  s.Packets = d[kControl + 3];
  s.Priority = static_cast<uint8_t>((d[4] >> 2) & 7);
  s.Data.assign(static_cast<size_t>(s.Packets) * kPacketBytes, 0xFF);
  Session& stored = sessions_[static_cast<uint16_t>(source | (bam ? kBamKey : 0))] = s;
  if (!bam) SendCtsLocked(source, stored);
}

void J1939Peer::SendCtsLocked(uint8_t source, Session& s) {
  const int left = s.Packets - s.Next + 1;
  const auto count = static_cast<uint8_t>(std::min<int>(window_, std::max(left, 0)));
  s.WindowEnd = static_cast<uint16_t>(s.Next + count - 1);
  SendTpCm(source, j1939::kCts, {count, static_cast<uint8_t>(s.Next), 0xFF, 0xFF}, s.Group);
}

void J1939Peer::OnTpDtLocked(const Bytes& d) {
  if (d.size() < kPacketData + kPacketBytes) return;
  const uint8_t source = d[kSource], destination = d[kSpecific];
  const bool bam = destination == j1939::kGlobal;
  if (!bam && (destination != address_ || !answering_)) return;
  auto it = sessions_.find(static_cast<uint16_t>(source | (bam ? kBamKey : 0)));
  if (it == sessions_.end()) return;
  Session& s = it->second;
  const uint8_t sequence = d[kSequence];
  if (sequence != s.Next) {
    // Out of order: a broadcast is lost, a connection asks again from the expected packet.
    if (bam) {
      sessions_.erase(it);
    } else {
      SendCtsLocked(source, s);
    }
    return;
  }
  std::copy_n(d.begin() + kPacketData, kPacketBytes,
              s.Data.begin() + static_cast<std::ptrdiff_t>((sequence - 1) * kPacketBytes));
  ++s.Next;
  if (s.Next > s.Packets) {
    Transfer t{source, destination, s.Group,
               Bytes(s.Data.begin(), s.Data.begin() + std::min<size_t>(s.Size, s.Data.size()))};
    if (!bam) {
      SendTpCm(source, j1939::kTpCmEndOfMsgAck,
               {static_cast<uint8_t>(s.Size), static_cast<uint8_t>(s.Size >> 8), s.Packets, 0xFF},
               s.Group);
    }
    sessions_.erase(it);
    received_.push_back(std::move(t));
    changed_.notify_all();
  } else if (!bam && s.Next > s.WindowEnd) {
    SendCtsLocked(source, s);
  }
}

void J1939Peer::OnClaimLocked(const Bytes& d) {
  if (d.size() < kClaimLength) return;
  auto it = contests_.find(d[kSource]);
  if (it == contests_.end() || it->second.second == 0) return;
  if (it->second.second > 0) --it->second.second;
  Claim(it->first, it->second.first);
}

void J1939Peer::OnTransportLocked(const Bytes& d) {
  if (transportResult_ == TransportResult::None || d.size() < kTransportFixed) return;
  if ((d[kChannel] & channelBits_) == 0) return;
  const uint8_t destination = d[2];
  if (destination != address_ && destination != j1939::kGlobal) return;
  adapter_.InjectMessage(sim::kTransportResult,
                         {static_cast<uint8_t>(transportResult_ == TransportResult::Success),
                          d[1], destination, d[3], d[4], static_cast<uint8_t>(d[5] & 1)});
}

// ---- the peer's own transfers -------------------------------------------------------------------

void J1939Peer::SendBam(Pgn pgn, const Bytes& data, const TransferPlan& plan) {
  const uint8_t packets = PacketCount(data.size());
  SendTpCm(j1939::kGlobal, j1939::kBam,
           {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8), packets,
            0xFF},
           pgn);
  std::vector<uint8_t> order = plan.Order;
  if (order.empty()) {
    for (unsigned n = 1; n <= packets; ++n) order.push_back(static_cast<uint8_t>(n));
  }
  for (uint8_t sequence : order) {
    if (plan.GapMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(plan.GapMs));
    SendPacket(j1939::kGlobal, sequence, data);
  }
}

J1939Peer::RtsResult J1939Peer::SendRts(uint8_t destination, Pgn pgn, const Bytes& data,
                                        const TransferPlan& plan, uint8_t maxPerCts,
                                        uint32_t timeoutMs) {
  const uint8_t packets = PacketCount(data.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.clear();
  }
  SendTpCm(destination, j1939::kRts,
           {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8), packets,
            maxPerCts},
           pgn);
  RtsResult result;
  bool firstWindow = true;
  for (;;) {
    Bytes answer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const bool got = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(answers_.begin(), answers_.end(), [&](const Bytes& a) {
          return a[kSource] == destination && PgnAt(a, kPgnAt) == pgn;
        });
      });
      if (!got) return result;  // TimedOut
      auto it = std::find_if(answers_.begin(), answers_.end(), [&](const Bytes& a) {
        return a[kSource] == destination && PgnAt(a, kPgnAt) == pgn;
      });
      answer = *it;
      answers_.erase(it);
    }
    switch (answer[kControl]) {
      case j1939::kTpCmEndOfMsgAck:
        result.Result = Outcome::Complete;
        return result;
      case j1939::kTpCmAbort:
        result.Result = Outcome::Aborted;
        result.AbortReason = answer[kControl + 1];
        return result;
      case j1939::kCts: {
        const uint8_t count = answer[kControl + 1], next = answer[kControl + 2];
        result.Cts.emplace_back(count, next);
        std::vector<uint8_t> window;
        if (firstWindow && !plan.Order.empty()) {
          window = plan.Order;
        } else {
          for (unsigned n = next; n < unsigned{next} + count && n <= packets; ++n)
            window.push_back(static_cast<uint8_t>(n));
        }
        if (count != 0) firstWindow = false;
        for (uint8_t sequence : window) {
          if (plan.GapMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(plan.GapMs));
          SendPacket(destination, sequence, data);
        }
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace dral_test
