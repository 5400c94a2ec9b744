// Reassembly of J1939 multi-packet messages that reach a connection: broadcast announces (BAM)
// and RTS/CTS connections, answered with CTS, EndOfMsgAck and Abort when they are addressed to
// the connection's claimed address, and collected without any answer when they run between
// other nodes. Each completed transfer is handed on as one application message.
//
// Threads: one thread only (the connection's receive thread); nothing here is shared. Every
// byte of the frames it is given is untrusted: no announce makes it write past a transfer's
// kMaxTransportBytes, and at most kMaxReceiveSessions transfers are held at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "channel/Codec.h"

namespace dral {

// Transfers a connection collects at once; an announce beyond that is refused.
inline constexpr size_t kMaxReceiveSessions = 64;
// A transfer that received nothing in sequence for this long is dropped.
inline constexpr uint32_t kBamTimeoutMs = 750;
inline constexpr uint32_t kRtsTimeoutMs = 1250;

// What the reassembly needs of its connection.
class TransportReceiveSink {
 public:
  // The connection's claimed address on the channel of `channelBits`; kNoAddress when none.
  virtual uint8_t OurAddress(uint8_t channelBits) = 0;
  // Puts a TP.CM reply into the ToServer ring and wakes the server; a failure is not retried.
  virtual void SendControl(const HuxMessage& reply) = 0;
  // Queues a completed transfer as an application message.
  virtual void DeliverMessage(const uint8_t* message, uint16_t length) = 0;

 protected:
  ~TransportReceiveSink() = default;
};

// One incoming transfer, from its RTS or BAM until it completes, is aborted, times out or (a
// broadcast) misses a packet.
struct ReceiveSession {
  uint8_t ChannelBits = 0;
  uint8_t Source = 0;
  uint8_t Destination = 0;  // kGlobalAddress for a BAM
  uint8_t Priority = 0;
  bool Broadcast = false;
  bool NotForUs = false;  // an RTS to another node: collected, never answered
  uint8_t Pgn[j1939::kPgnBytes] = {0, 0, 0};
  uint8_t TotalPackets = 0;
  uint8_t RtsMaxPackets = 0;
  uint16_t NextPacket = 1;
  uint16_t WindowEnd = 0;  // last packet granted by the latest CTS
  uint16_t TotalSize = 0;
  uint32_t LastTick = 0;
  uint8_t Data[j1939::kMaxTransportBytes];
};

class TTransportReceive {
 public:
  explicit TTransportReceive(TransportReceiveSink& sink, uint8_t maxPacketsPerCts);
  TTransportReceive(const TTransportReceive&) = delete;
  TTransportReceive& operator=(const TTransportReceive&) = delete;

  // A TP.CM RTS or BAM: opens a session (an RTS to us is answered with the first CTS). An
  // announce of more than kMaxTransportBytes, of none, or whose packet count disagrees with its
  // size opens nothing; when it is an RTS to us it is answered with an Abort.
  void Open(const J1939Frame& frame, const j1939::ConnectionControl& control, uint32_t now);
  // A TP.DT packet.
  void TakePacket(const J1939Frame& frame, uint32_t now);
  // The peer aborted: drops the first session from `source` to `destination`.
  void DropSession(uint8_t channelBits, uint8_t source, uint8_t destination);
  // Drops the first session that has timed out, if any (at most one per call).
  void CheckSessionTimeouts(uint32_t now);

  size_t SessionCount() const { return sessions_.size(); }

 private:
  using Sessions = std::list<std::unique_ptr<ReceiveSession>>;
  Sessions::iterator Find(uint8_t channelBits, uint8_t source, uint8_t destination);
  void SendCts(ReceiveSession& s, uint8_t priority);
  void Reply(const ReceiveSession& s, uint8_t priority, const j1939::ConnectionControl& c);
  void Complete(const ReceiveSession& s, uint8_t destination, uint8_t priority);

  TransportReceiveSink& sink_;
  const uint8_t maxPacketsPerCts_;
  Sessions sessions_;  // oldest first
};

}  // namespace dral
