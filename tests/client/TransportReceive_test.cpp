#include "client/TransportReceive.h"

#include <gtest/gtest.h>

#include <vector>

#include "client/ClientObj.h"
#include "client_test_util.h"
#include "testsupport/test_env.h"

namespace {

using dral::HuxMessage;
using dral::J1939Frame;
using Bytes = std::vector<uint8_t>;
namespace j1939 = dral::j1939;

constexpr uint8_t kUs = 0x80;
constexpr uint8_t kPeer = 0x21;
constexpr uint8_t kOther = 0x33;
constexpr uint8_t kPgnPdu1[3] = {0x00, 0xEF, 0x00};
constexpr uint8_t kPgnPdu2[3] = {0xEC, 0xFE, 0x00};
constexpr uint8_t kPriority = 7;

// A TP.CM or TP.DT frame as the receive thread sees it (the view points into the record).
struct Frame {
  HuxMessage Record;
  J1939Frame View;
  explicit Frame(const HuxMessage& record) : Record(record) {
    dral::DecodeJ1939Frame(dral::ViewOf(Record), View);
  }
  Frame(const Frame& other) : Frame(other.Record) {}
};

Frame Announce(uint8_t control, uint8_t source, uint8_t destination, uint16_t size,
               uint8_t packets, uint8_t maxPerCts, const uint8_t* pgn = kPgnPdu1) {
  return Frame(j1939::ControlRecord(dral::kChannelBit1, source, destination, kPriority,
                                    j1939::SizedControl(control, size, packets, maxPerCts, pgn)));
}
Frame Rts(uint16_t size, uint8_t packets, uint8_t maxPerCts = 0xFF, uint8_t destination = kUs) {
  return Announce(j1939::kTpCmRts, kPeer, destination, size, packets, maxPerCts);
}
Frame Bam(uint16_t size, uint8_t packets) {
  return Announce(j1939::kTpCmBam, kPeer, j1939::kGlobalAddress, size, packets, 0xFF,
                  kPgnPdu2);
}
// Packet `sequence` whose 7 bytes are sequence * 10 + 0..6.
Frame Packet(uint8_t sequence, uint8_t destination = kUs) {
  uint8_t bytes[7];
  for (int i = 0; i < 7; ++i) bytes[i] = static_cast<uint8_t>(sequence * 10 + i);
  return Frame(
      j1939::DataPacketRecord(dral::kChannelBit1, kPeer, destination, kPriority, sequence, bytes));
}

// What the reassembly hands its connection.
class RecordingSink : public dral::TransportReceiveSink {
 public:
  uint8_t OurAddress(uint8_t) override { return Us; }
  uint8_t Us = kUs;
  void SendControl(const HuxMessage& reply) override { Sent.push_back(reply); }
  void DeliverMessage(const uint8_t* message, uint16_t length) override {
    Delivered.emplace_back(message, message + length);
  }
  std::vector<HuxMessage> Sent;
  std::vector<Bytes> Delivered;
};

// The TP.CM payload of a reply, after checking that it goes from us to the peer.
Bytes ReplyPayload(const HuxMessage& m) {
  EXPECT_EQ(m.Type, dral::MsgJ1939Control);
  EXPECT_EQ(m.Length, 13);
  EXPECT_EQ(Bytes(m.Data, m.Data + 4), (Bytes{dral::kChannelBit1, kUs, kPeer, 0xEC}));
  return Bytes(m.Data + 5, m.Data + 13);
}
Bytes Cts(uint8_t count, uint8_t next) {
  return {17, count, next, 0xFF, 0xFF, kPgnPdu1[0], kPgnPdu1[1], kPgnPdu1[2]};
}

class TransportReceiveTest : public ::testing::Test {
 protected:
  void Open(const Frame& f, uint32_t now = 0) {
    j1939::ConnectionControl c;
    ASSERT_TRUE(j1939::DecodeConnectionControl(f.View, c));
    rx_.Open(f.View, c, now);
  }
  void Take(const Frame& f, uint32_t now = 0) { rx_.TakePacket(f.View, now); }
  void TakeRange(int first, int last) {
    for (int i = first; i <= last; ++i) Take(Packet(static_cast<uint8_t>(i)));
  }

  RecordingSink sink_;
  dral::TTransportReceive rx_{sink_, dral::kMaxPacketsPerCts};
};

TEST_F(TransportReceiveTest, CtsWindowsAreBoundedByOwnLimitAndTheSendersLimit) {
  Open(Rts(20 * 7, 20));
  ASSERT_EQ(sink_.Sent.size(), 1u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[0]), Cts(20, 1));
  EXPECT_EQ(sink_.Sent[0].Data[4], kPriority << 2);  // the RTS's priority, data page 0

  Open(Announce(j1939::kTpCmRts, kPeer, kUs, 1400, 200, 0xFF));  // replaces the first
  ASSERT_EQ(sink_.Sent.size(), 2u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[1]), Cts(100, 1));
  TakeRange(1, 100);
  ASSERT_EQ(sink_.Sent.size(), 3u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[2]), Cts(100, 101));
  TakeRange(101, 200);
  ASSERT_EQ(sink_.Sent.size(), 4u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[3]), (Bytes{19, 1400 & 0xFF, 1400 >> 8, 200, 0xFF, 0, 0xEF, 0}));
  ASSERT_EQ(sink_.Delivered.size(), 1u);
  EXPECT_EQ(sink_.Delivered[0].size(), 7u + 1400);
  EXPECT_EQ(sink_.Delivered[0][7 + 199 * 7], 200 * 10 % 256);  // packet 200 at its offset

  // A sender that takes 5 per CTS gets windows of 5.
  Open(Rts(12 * 7, 12, 5));
  EXPECT_EQ(ReplyPayload(sink_.Sent.back()), Cts(5, 1));
  TakeRange(1, 5);
  EXPECT_EQ(ReplyPayload(sink_.Sent.back()), Cts(5, 6));
  TakeRange(6, 10);
  EXPECT_EQ(ReplyPayload(sink_.Sent.back()), Cts(2, 11));
}

TEST_F(TransportReceiveTest, PacketOutOfOrderIsAskedForAgainFromTheExpectedOne) {
  Open(Rts(10 * 7, 10, 4));
  Take(Packet(1));
  const size_t before = sink_.Sent.size();
  Take(Packet(3));  // 2 expected
  ASSERT_EQ(sink_.Sent.size(), before + 1);
  EXPECT_EQ(ReplyPayload(sink_.Sent.back()), Cts(4, 2));  // bounded as the regular windows
  TakeRange(2, 10);
  ASSERT_EQ(sink_.Delivered.size(), 1u);
  // The discarded packet 3 left no trace: the delivered bytes are the resent ones.
  EXPECT_EQ(sink_.Delivered[0][7 + 2 * 7], 30);
  EXPECT_EQ(rx_.SessionCount(), 0u);
}

TEST_F(TransportReceiveTest, BroadcastCompletesWithoutRepliesAndAGapDropsIt) {
  Open(Bam(9, 2));
  Take(Packet(1, 0xFF));
  Take(Packet(2, 0xFF));
  EXPECT_TRUE(sink_.Sent.empty());
  ASSERT_EQ(sink_.Delivered.size(), 1u);
  // PGN 0xFEEC: PduSpecific 0xEC, PduFormat 0xFE, destination 255, 9 bytes, no padding.
  EXPECT_EQ(sink_.Delivered[0],
            (Bytes{2, 0xEC, 0xFE, 0, kPriority, kPeer, 0xFF, 10, 11, 12, 13, 14, 15, 16, 20, 21}));

  Open(Bam(3 * 7, 3));
  Take(Packet(1, 0xFF));
  Take(Packet(3, 0xFF));
  EXPECT_EQ(rx_.SessionCount(), 0u);
  Take(Packet(2, 0xFF));
  Take(Packet(3, 0xFF));
  EXPECT_EQ(sink_.Delivered.size(), 1u);
  EXPECT_TRUE(sink_.Sent.empty());
}

TEST_F(TransportReceiveTest, TransferBetweenOtherNodesIsCollectedButNeverAnswered) {
  Open(Rts(2 * 7, 2, 0xFF, kOther));
  Take(Packet(2, kOther));  // a gap: only the time-out ends it, silently
  Take(Packet(1, kOther));
  Take(Packet(2, kOther));
  EXPECT_TRUE(sink_.Sent.empty());
  ASSERT_EQ(sink_.Delivered.size(), 1u);
  EXPECT_EQ(sink_.Delivered[0][6], kOther);
}

TEST_F(TransportReceiveTest, WithoutAClaimedAddressNothingIsAnswered) {
  sink_.Us = dral::kNoAddress;
  Open(Rts(2 * 7, 2, 0xFF, dral::kNoAddress));  // "to" the no-address value itself
  Take(Packet(1, dral::kNoAddress));
  Take(Packet(2, dral::kNoAddress));
  rx_.CheckSessionTimeouts(5000);
  EXPECT_TRUE(sink_.Sent.empty());
  EXPECT_EQ(sink_.Delivered.size(), 1u);
}

TEST_F(TransportReceiveTest, SilentTransfersTimeOutOnePerCheck) {
  Open(Bam(14, 2), 1000);
  Open(Rts(14, 2), 1000);
  Open(Rts(14, 2, 0xFF, kOther), 1000);
  const size_t ctsSent = sink_.Sent.size();
  rx_.CheckSessionTimeouts(1000 + 750);  // not yet
  EXPECT_EQ(rx_.SessionCount(), 3u);
  rx_.CheckSessionTimeouts(1000 + 760);
  EXPECT_EQ(rx_.SessionCount(), 2u);  // the broadcast, silently
  EXPECT_EQ(sink_.Sent.size(), ctsSent);
  rx_.CheckSessionTimeouts(1000 + 1250);
  EXPECT_EQ(rx_.SessionCount(), 2u);
  rx_.CheckSessionTimeouts(1000 + 1260);
  EXPECT_EQ(rx_.SessionCount(), 1u);  // one per check, although both have timed out
  ASSERT_EQ(sink_.Sent.size(), ctsSent + 1);
  EXPECT_EQ(ReplyPayload(sink_.Sent.back()), (Bytes{255, 3, 0xFF, 0xFF, 0xFF, 0, 0xEF, 0}));
  EXPECT_EQ(sink_.Sent.back().Data[4], kPriority << 2);
  rx_.CheckSessionTimeouts(1000 + 1290);
  EXPECT_EQ(rx_.SessionCount(), 0u);
  EXPECT_EQ(sink_.Sent.size(), ctsSent + 1);  // another node's transfer is never aborted
}

TEST_F(TransportReceiveTest, PacketTakenInSequencePutsTheTimeOutOff) {
  Open(Rts(3 * 7, 3), 0);
  Take(Packet(1), 1000);
  rx_.CheckSessionTimeouts(2000);
  EXPECT_EQ(rx_.SessionCount(), 1u);
  Take(Packet(3), 2100);  // out of sequence: no proof of life
  rx_.CheckSessionTimeouts(2260);
  EXPECT_EQ(rx_.SessionCount(), 0u);
}

// Announces are untrusted: none may make a packet or the delivery run past the 1785 bytes a
// transfer holds (AddressSanitizer sees any write past them).
TEST_F(TransportReceiveTest, AnnounceTooLongOrDisagreeingWithItsPacketsIsRefused) {
  Open(Rts(1786, 255));  // one byte too many
  ASSERT_EQ(sink_.Sent.size(), 1u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[0]), (Bytes{255, 2, 0xFF, 0xFF, 0xFF, 0, 0xEF, 0}));
  Open(Rts(0xFFFF, 255));
  Open(Rts(20, 255));  // 20 bytes in 255 packets
  Open(Rts(200, 3));   // 200 bytes in 3 packets
  Open(Rts(0, 0));
  EXPECT_EQ(rx_.SessionCount(), 0u);
  ASSERT_EQ(sink_.Sent.size(), 5u);
  for (size_t i = 1; i < 5; ++i) EXPECT_EQ(sink_.Sent[i].Data[5], 255) << i;
  EXPECT_EQ(sink_.Sent[2].Data[6], 250);
  Open(Bam(1800, 255));
  EXPECT_EQ(rx_.SessionCount(), 0u);
  EXPECT_EQ(sink_.Sent.size(), 5u);  // a broadcast is never answered
  TakeRange(1, 255);
  EXPECT_TRUE(sink_.Delivered.empty());

  // The longest sound transfer fills exactly the 1785 bytes.
  Open(Rts(1785, 255));
  TakeRange(1, 255);
  ASSERT_EQ(sink_.Delivered.size(), 1u);
  EXPECT_EQ(sink_.Delivered[0].size(), 7u + 1785);
}

TEST_F(TransportReceiveTest, SessionsAreBoundedAndTheRefusedRtsIsAborted) {
  for (int source = 0; source < static_cast<int>(dral::kMaxReceiveSessions); ++source) {
    Open(Announce(j1939::kTpCmBam, static_cast<uint8_t>(source), 0xFF, 14, 2, 0xFF));
  }
  EXPECT_EQ(rx_.SessionCount(), dral::kMaxReceiveSessions);
  Open(Rts(14, 2));
  EXPECT_EQ(rx_.SessionCount(), dral::kMaxReceiveSessions);
  ASSERT_EQ(sink_.Sent.size(), 1u);
  EXPECT_EQ(ReplyPayload(sink_.Sent[0]), (Bytes{255, 1, 0xFF, 0xFF, 0xFF, 0, 0xEF, 0}));
}

// ---- through a connection's receive thread --------------------------------------------------

class ReceiveThreadTransportTest : public dral_test::IsolatedTest {};

TEST_F(ReceiveThreadTransportTest, RtsToOurAddressIsAnsweredAndAbortedAfterSilence) {
  client_test::FakeServer server;
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  dral::ClientSlot* slot = server.Queue().Slot(client.SlotIndex());
  slot->Claimed[0].Address.store(kUs);  // as the server records a claim
  const auto start = std::chrono::steady_clock::now();
  const HuxMessage rts = Rts(3 * 7, 3).Record;
  ASSERT_TRUE(server.Queue().Put(&slot->ToClient, &rts));

  auto control = [&](uint8_t byte) {
    for (const auto& m : server.Received()) {
      if (m.Type == dral::MsgJ1939Control && m.Data[3] == 0xEC && m.Data[5] == byte) return true;
    }
    return false;
  };
  ASSERT_TRUE(client_test::WaitUntil([&] { return control(j1939::kTpCmCts); }, 5000));
  ASSERT_TRUE(client_test::WaitUntil([&] { return control(j1939::kTpCmAbort); }, 5000));
  const double ms = client_test::MsSince(start);
  EXPECT_GE(ms, 1250);
  EXPECT_LT(ms, 3000);
  for (const auto& m : server.Received()) {
    if (m.Data[5] == j1939::kTpCmAbort) {
      EXPECT_EQ(m.Data[6], j1939::kAbortTimeout);
    }
  }
}

}  // namespace
