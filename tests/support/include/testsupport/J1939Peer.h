// A J1939 node on the bus behind the simulated adapter, for tests of the server and of the
// library: it takes part in the transport protocol (as receiver and as sender), contests address
// claims, and reports the results of the adapter's own transport.
//
// What the host sends reaches the peer as the adapter receives it (MsgJ1939Frame records, also
// MsgJ1939Control and MsgJ1939Transport); what the peer sends goes to the host as
// MsgJ1939Control records (type 0x35) and transport results (0x38). The peer listens on one
// channel (channel bits 0x01 or 0x02) under one address.
//
// Receiving (the host sends an RTS to the peer's address): the peer answers with CTS windows of
// SetCtsWindow packets (at most the packets left, and never bounded by the RTS's own limit, so a
// test can grant more than a sender may take). A window of 0 answers "wait" (CTS with count 0);
// GrantWaiting then grants the current window to every transfer that waits. After the last
// packet it sends EndOfMsgAck and records the transfer (Received). A packet out of order is
// ignored, and the window is asked again from the expected packet. SetAnswering(false) makes it
// ignore every RTS and packet; AbortNextRts answers the next RTS with Abort. BAM transfers from
// the host are collected and recorded without any answer.
//
// Sending: SendBam and SendRts run on the caller's thread and return when done. A TransferPlan chooses
// the gap between packets and the sequence numbers sent (in that order, so packets may be left
// out, repeated or swapped). SendRts answers the host's CTS windows until EndOfMsgAck, Abort or
// its time-out, and reports every CTS it got.
//
// Address claims: Claim sends a claim now; Contest answers every host claim for an address with
// the peer's own claim for it (the NAME the test chose), a chosen number of times.
//
// Adapter transport (AdapterFlags bit 0, set with AdapterSimulator::SetVersion): for each
// MsgJ1939Transport to the peer's address or to 255 on its channel, a MsgTransportResult
// {ok, source, destination, PS, PF, DP} as SetTransportResult says (none by default).
//
// Thread safety: every member may be called from any thread. The peer registers itself with the
// adapter in its constructor and removes itself in its destructor (which must not run while a
// SendBam or SendRts of its own is in progress).
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "testsupport/AdapterSimulator.h"

namespace dral_test {

// A parameter group number: PS | PF << 8 | DP << 16.
using Pgn = uint32_t;
using J1939Name = std::array<uint8_t, 8>;

// TP.CM control bytes and PDU formats, spelled out here on purpose (see AdapterSimulator.h).
namespace j1939 {
constexpr uint8_t kPfRequest = 0xEA;
constexpr uint8_t kPfTransportData = 0xEB;
constexpr uint8_t kPfTransportControl = 0xEC;
constexpr uint8_t kPfAddressClaimed = 0xEE;
constexpr uint8_t kRts = 16;
constexpr uint8_t kCts = 17;
constexpr uint8_t kTpCmEndOfMsgAck = 19;
constexpr uint8_t kBam = 32;
constexpr uint8_t kTpCmAbort = 255;
constexpr uint8_t kGlobal = 0xFF;
}  // namespace j1939

// Data of a J1939 frame record: channel bits, source, PDU specific, PDU format, priority << 2 |
// data page, payload.
Bytes J1939Record(uint8_t channelBits, uint8_t source, uint8_t pduSpecific, uint8_t pduFormat,
                  uint8_t priority, const Bytes& payload);
// A TP.CM record's data (payload: the eight bytes from the control byte on).
Bytes TpCmRecord(uint8_t channelBits, uint8_t source, uint8_t destination, uint8_t control,
                 const std::array<uint8_t, 4>& fields, Pgn pgn, uint8_t priority = 7);
// Matches host messages of type 0x30 or 0x35 with PDU format `pf` (and, for TP.CM, `control`
// unless it is 0).
MessagePredicate IsJ1939Pf(uint8_t pf, uint8_t control = 0);

enum class TransportResult { None, Success, Failure };

// How the peer sends a transfer's packets.
struct TransferPlan {
  uint32_t GapMs = 0;          // before each packet (also the first)
  std::vector<uint8_t> Order;  // sequence numbers sent; empty: 1..n (RTS: those granted)
};

class J1939Peer final : public HostListener {
 public:
  J1939Peer(AdapterSimulator& adapter, uint8_t channelBits, uint8_t address);
  ~J1939Peer() override;
  J1939Peer(const J1939Peer&) = delete;
  J1939Peer& operator=(const J1939Peer&) = delete;

  uint8_t Address() const { return address_; }

  // --- receiving transfers from the host ------------------------------------------------------
  void SetCtsWindow(uint8_t packets);  // default 8; 0 = wait
  void SetAnswering(bool on);          // default on
  void AbortNextRts(uint8_t reason);
  // Sends a CTS with the current window to every transfer whose last CTS asked it to wait.
  void GrantWaiting();

  struct Transfer {
    uint8_t Source = 0;
    uint8_t Destination = 0;  // the peer's address, or 255 for a BAM
    Pgn Group = 0;
    Bytes Data;  // the announced size
  };
  std::vector<Transfer> Received() const;
  bool WaitForReceived(size_t count, uint32_t timeoutMs) const;

  // --- sending transfers to the host ----------------------------------------------------------
  void SendBam(Pgn pgn, const Bytes& data, const TransferPlan& plan = {});

  enum class Outcome { Complete, Aborted, TimedOut };
  struct RtsResult {
    Outcome Result = Outcome::TimedOut;
    std::vector<std::pair<uint8_t, uint8_t>> Cts;  // (packets allowed, next packet) of each CTS
    uint8_t AbortReason = 0;
  };
  // An RTS to `destination`; `plan.Order`, when given, replaces the packets of the first window.
  // `timeoutMs` bounds each wait for the host's next answer.
  RtsResult SendRts(uint8_t destination, Pgn pgn, const Bytes& data, const TransferPlan& plan = {},
                    uint8_t maxPerCts = 0xFF, uint32_t timeoutMs = 2000);
  // An Abort from the peer to `destination` for the transfer of `pgn`.
  void Abort(uint8_t destination, Pgn pgn, uint8_t reason);

  // --- address claims --------------------------------------------------------------------------
  void Claim(uint8_t address, const J1939Name& name, uint8_t destination = j1939::kGlobal);
  // Answers the next `times` host claims for `address` (-1: all) with a claim of `name`.
  void Contest(uint8_t address, const J1939Name& name, int times = -1);

  // --- adapter transport -----------------------------------------------------------------------
  void SetTransportResult(TransportResult result);

  void OnHostMessage(const AdapterMessage& message) override;

 private:
  struct Session {
    bool Broadcast = false;
    Pgn Group = 0;
    uint16_t Size = 0;
    uint8_t Packets = 0;
    uint16_t Next = 1;
    uint16_t WindowEnd = 0;
    uint8_t Priority = 7;
    Bytes Data;
  };
  void OnTpCmLocked(const Bytes& d);
  void OnTpDtLocked(const Bytes& d);
  void OnClaimLocked(const Bytes& d);
  void OnTransportLocked(const Bytes& d);
  // Grants the next window of the session with `source` (count 0 when the window is 0).
  void SendCtsLocked(uint8_t source, Session& session);
  void SendTpCm(uint8_t destination, uint8_t control, const std::array<uint8_t, 4>& fields,
                Pgn pgn);
  void SendPacket(uint8_t destination, uint8_t sequence, const Bytes& data);

  AdapterSimulator& adapter_;
  const uint8_t channelBits_;
  const uint8_t address_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  uint8_t window_ = 8;
  bool answering_ = true;
  std::optional<uint8_t> abortNextRts_;
  std::map<uint16_t, Session> sessions_;  // by source, plus 0x100 for a BAM
  std::vector<Transfer> received_;
  std::deque<Bytes> answers_;  // TP.CM from the host to the peer's address (CTS, EOMA, Abort)
  std::map<uint8_t, std::pair<J1939Name, int>> contests_;  // by address: NAME, times left
  TransportResult transportResult_ = TransportResult::None;
};

}  // namespace dral_test
