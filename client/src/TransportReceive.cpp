#include "client/TransportReceive.h"

#include <algorithm>
#include <cstring>

#include "channel/ChannelBlock.h"

namespace dral {
namespace {

using namespace j1939;

constexpr uint8_t kChannelOf = kChannelBitsMask;

// Packets a CTS grants from `next` on: no more than are left, the receiver's own limit and the
// sender's limit from its RTS.
uint8_t WindowCount(const ReceiveSession& s, uint8_t maxPacketsPerCts) {
  const int left = s.TotalPackets - s.NextPacket + 1;
  return static_cast<uint8_t>(std::min({left, int{maxPacketsPerCts}, int{s.RtsMaxPackets}}));
}

// A refused announce: the Abort reason, or 0 when the announce is sound.
uint8_t RefusalOf(const ConnectionControl& c) {
  const uint16_t size = c.TotalSize();
  if (size > kMaxTransportBytes) return kAbortResources;
  if (size == 0 || c.Byte3 != PacketsFor(size)) return kAbortOther;
  return 0;
}

}  // namespace

TTransportReceive::TTransportReceive(TransportReceiveSink& sink, uint8_t maxPacketsPerCts)
    : sink_(sink), maxPacketsPerCts_(std::max<uint8_t>(maxPacketsPerCts, 1)) {}

TTransportReceive::Sessions::iterator TTransportReceive::Find(uint8_t channelBits, uint8_t source,
                                                              uint8_t destination) {
  return std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
    return (s->ChannelBits & kChannelOf) == (channelBits & kChannelOf) && s->Source == source &&
           s->Destination == destination;
  });
}

void TTransportReceive::Reply(const ReceiveSession& s, uint8_t priority,
                              const ConnectionControl& c) {
  sink_.SendControl(
      ControlRecord(s.ChannelBits, sink_.OurAddress(s.ChannelBits), s.Source, priority, c));
}

void TTransportReceive::SendCts(ReceiveSession& s, uint8_t priority) {
  const uint8_t count = WindowCount(s, maxPacketsPerCts_);
  s.WindowEnd = static_cast<uint16_t>(s.NextPacket + count - 1);
  Reply(s, priority, ClearToSend(count, static_cast<uint8_t>(s.NextPacket), s.Pgn));
}

void TTransportReceive::Open(const J1939Frame& frame, const ConnectionControl& c, uint32_t now) {
  const bool broadcast = c.Control == kTpCmBam;
  if (!broadcast && c.Control != kTpCmRts) return;
  const uint8_t destination = frame.PduSpecific;
  const uint8_t us = sink_.OurAddress(frame.ChannelBits);
  const bool notForUs = !broadcast && (us == kNoAddress || destination != us);

  auto session = std::make_unique<ReceiveSession>();
  ReceiveSession& s = *session;
  s.ChannelBits = frame.ChannelBits;
  s.Source = frame.SourceAddress;
  s.Destination = destination;
  s.Priority = frame.Priority;
  s.Broadcast = broadcast;
  s.NotForUs = notForUs;
  std::copy(c.Pgn, c.Pgn + kPgnBytes, s.Pgn);
  s.TotalPackets = c.Byte3;
  // 0 packets per CTS is no limit a sender can mean: it would stall the transfer for good.
  s.RtsMaxPackets = broadcast || c.Byte4 == 0 ? kNoPacketLimit : c.Byte4;
  s.TotalSize = c.TotalSize();
  s.LastTick = now;
  const bool answered = !broadcast && !notForUs;

  // The announce is untrusted: a size above what Data holds, or a packet count that disagrees
  // with the size, would make later packets or the delivery run past it.
  if (const uint8_t reason = RefusalOf(c)) {
    if (answered) Reply(s, frame.Priority, AbortControl(reason, s.Pgn));
    return;
  }
  // A new announce from a node restarts its transfer to that destination.
  const auto earlier = Find(s.ChannelBits, s.Source, s.Destination);
  if (earlier != sessions_.end()) sessions_.erase(earlier);
  if (sessions_.size() >= kMaxReceiveSessions) {
    if (answered) Reply(s, frame.Priority, AbortControl(kAbortBusy, s.Pgn));
    return;
  }
  std::memset(s.Data, 0xFF, sizeof s.Data);
  sessions_.push_back(std::move(session));
  if (answered) SendCts(s, frame.Priority);
}

void TTransportReceive::Complete(const ReceiveSession& s, uint8_t destination, uint8_t priority) {
  MessageHeader h;
  h.ChannelBits = s.ChannelBits;
  h.PduFormat = s.Pgn[1];
  h.PduSpecific = IsPdu2(s.Pgn[1]) ? s.Pgn[0] : 0;
  h.PriorityDataPage = static_cast<uint8_t>(s.Priority << 2 | (s.Pgn[2] & 0x01));
  h.SourceAddress = s.Source;
  h.DestinationAddress = destination;
  uint8_t message[app::kJ1939Data + kMaxTransportBytes];
  const uint16_t length = EncodeJ1939Message(h, {s.Data, s.TotalSize}, message);
  if (length != 0) sink_.DeliverMessage(message, length);
  if (!s.Broadcast && !s.NotForUs) {
    Reply(s, priority,
          SizedControl(kTpCmEndOfMsgAck, s.TotalSize, s.TotalPackets, kNoPacketLimit, s.Pgn));
  }
}

void TTransportReceive::TakePacket(const J1939Frame& frame, uint32_t now) {
  if (frame.Payload.empty()) return;
  const auto it = Find(frame.ChannelBits, frame.SourceAddress, frame.PduSpecific);
  if (it == sessions_.end()) return;
  ReceiveSession& s = **it;
  const uint8_t sequence = frame.Payload[0];
  const bool answered = !s.Broadcast && !s.NotForUs;
  if (sequence != s.NextPacket) {
    if (s.Broadcast) {
      sessions_.erase(it);  // a broadcast cannot be asked again: the gap loses it
    } else if (answered) {
      SendCts(s, frame.Priority);  // ask again from the packet expected
    }
    return;
  }
  // sequence = NextPacket <= TotalPackets, and TotalPackets * 7 fits Data (checked at Open).
  const size_t bytes = std::min<size_t>(frame.Payload.size() - 1, kBytesPerPacket);
  std::copy_n(frame.Payload.begin() + 1, bytes, s.Data + (sequence - 1) * kBytesPerPacket);
  ++s.NextPacket;
  s.LastTick = now;
  if (s.NextPacket > s.TotalPackets) {
    Complete(s, frame.PduSpecific, frame.Priority);
    sessions_.erase(it);
  } else if (s.NextPacket > s.WindowEnd && answered) {
    SendCts(s, frame.Priority);
  }
}

void TTransportReceive::DropSession(uint8_t channelBits, uint8_t source, uint8_t destination) {
  const auto it = Find(channelBits, source, destination);
  if (it != sessions_.end()) sessions_.erase(it);
}

void TTransportReceive::CheckSessionTimeouts(uint32_t now) {
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    ReceiveSession& s = **it;
    const uint32_t idle = now - s.LastTick;
    if (s.Broadcast ? idle <= kBamTimeoutMs : idle <= kRtsTimeoutMs) continue;
    if (!s.Broadcast && !s.NotForUs) Reply(s, s.Priority, AbortControl(kAbortTimeout, s.Pgn));
    sessions_.erase(it);
    return;  // one per check: many stale sessions are cleared one by one
  }
}

}  // namespace dral
