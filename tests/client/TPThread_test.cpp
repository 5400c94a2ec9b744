#include "client/TPThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "client/ClientObj.h"
#include "client_test_util.h"
#include "testsupport/test_env.h"

namespace {

using client_test::FakeServer;
using client_test::MsSince;
using client_test::WaitUntil;
using dral::HuxMessage;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace j1939 = dral::j1939;

constexpr uint8_t kUs = 0x80;
constexpr uint8_t kPeer = 0x21;
constexpr uint8_t kName[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// A J1939 message of `dataBytes` data bytes (i & 0xFF) on channel 1 with PGN 0xEF00.
Bytes Message(uint16_t dataBytes, uint8_t destination, bool broadcast = false) {
  Bytes m = {DRAL_PROTOCOL_J1939_CAN1, 0x00, 0xEF, 0, static_cast<uint8_t>(broadcast ? 0x86 : 6),
             kUs, destination};
  for (uint16_t i = 0; i < dataBytes; ++i) m.push_back(static_cast<uint8_t>(i));
  return m;
}

bool IsControl(const HuxMessage& m, uint8_t pf) {
  return m.Type == dral::MsgJ1939Control && m.Length >= 6 && m.Data[3] == pf;
}

// A fake server that keeps each record with the time it took it, and answers through `peer`.
class TransferTest : public dral_test::IsolatedTest {
 protected:
  struct Seen {
    HuxMessage Record;
    Clock::time_point At;
  };
  using Peer = std::function<std::vector<HuxMessage>(const HuxMessage&)>;

  void Start(Peer peer = nullptr) {
    peer_ = std::move(peer);
    server_ = std::make_unique<FakeServer>([this](const HuxMessage& m) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back({m, Clock::now()});
      }
      return peer_ ? peer_(m) : std::vector<HuxMessage>{};
    });
    ASSERT_TRUE(client_.Connect());
  }
  void TearDown() override {
    client_.Disconnect();
    server_.reset();
  }
  void Claim() { ASSERT_EQ(client_.ClaimAddress(DRAL_PROTOCOL_J1939_CAN1, kUs, kName), DRAL_OK); }
  uint32_t Put(const Bytes& m) {
    return client_.PutJ1939(m.data(), static_cast<uint16_t>(m.size()));
  }
  std::vector<Seen> Taken(uint8_t pf, int control = -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Seen> out;
    for (const auto& s : seen_) {
      if (IsControl(s.Record, pf) && (control < 0 || s.Record.Data[5] == control)) out.push_back(s);
    }
    return out;
  }
  // A reply of the peer to us: TP.CM `control`.
  static HuxMessage FromPeer(const j1939::ConnectionControl& c) {
    return j1939::ControlRecord(dral::kChannelBit1, kPeer, kUs, 7, c);
  }

  Peer peer_;
  std::mutex mutex_;  // guards seen_
  std::vector<Seen> seen_;
  std::unique_ptr<FakeServer> server_;
  dral::TDralClient client_;
};

const uint8_t kPgn[3] = {0x00, 0xEF, 0x00};

TEST_F(TransferTest, BroadcastPacketsFollowTheAnnounceFiftyMillisecondsApart) {
  Start();
  const Bytes m = Message(20, 0x21, true);  // broadcast flag: no address needed
  ASSERT_EQ(Put(m), DRAL_OK);
  ASSERT_TRUE(WaitUntil([&] { return Taken(0xEB).size() == 3; }, 5000));
  const auto bam = Taken(0xEC, j1939::kTpCmBam);
  ASSERT_EQ(bam.size(), 1u);
  EXPECT_EQ(Bytes(bam[0].Record.Data, bam[0].Record.Data + 13),
            (Bytes{1, kUs, 0xFF, 0xEC, 0x18, 32, 20, 0, 3, 0xFF, 0x00, 0xEF, 0x00}));
  const auto dt = Taken(0xEB);
  auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  // Times are those the fake server took the records at, so each gap carries its jitter.
  EXPECT_LT(ms(bam[0].At, dt[0].At), 45);
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(ms(dt[i - 1].At, dt[i].At), 25) << i;
    EXPECT_LT(ms(dt[i - 1].At, dt[i].At), 1000) << i;
  }
  EXPECT_GE(ms(dt[0].At, dt[2].At), 75);
  // The last packet carries 6 data bytes and is padded with 0xFF.
  EXPECT_EQ(Bytes(dt[2].Record.Data, dt[2].Record.Data + 13),
            (Bytes{1, kUs, 0xFF, 0xEB, 0x18, 3, 14, 15, 16, 17, 18, 19, 0xFF}));
}

TEST_F(TransferTest, ConnectionToOneNodeNeedsTheAddressHeldOnThatChannel) {
  Start();
  EXPECT_EQ(Put(Message(20, kPeer)), DRAL_ERR_NO_ADDRESS);
  Claim();
  Bytes fromElsewhere = Message(20, kPeer);
  fromElsewhere[5] = 0x81;  // not our address
  EXPECT_EQ(Put(fromElsewhere), DRAL_ERR_NO_ADDRESS);
  Bytes otherChannel = Message(20, kPeer);
  otherChannel[0] = DRAL_PROTOCOL_J1939_CAN2;
  EXPECT_EQ(Put(otherChannel), DRAL_ERR_NO_ADDRESS);
  client_.ReleaseAddress(DRAL_PROTOCOL_J1939_CAN1);
  EXPECT_EQ(Put(Message(20, kPeer)), DRAL_ERR_NO_ADDRESS);
  EXPECT_TRUE(Taken(0xEC).empty());
}

// The peer takes 10 packets per CTS and acknowledges the end; the sender never sends more than
// granted and ends with the acknowledgement, sending no Abort.
TEST_F(TransferTest, RtsCtsTransferRunsWindowByWindowToTheAcknowledgement) {
  Start([](const HuxMessage& m) -> std::vector<HuxMessage> {
    if (IsControl(m, 0xEC) && m.Data[5] == j1939::kTpCmRts) {
      return {FromPeer(j1939::ClearToSend(10, 1, kPgn))};
    }
    if (!IsControl(m, 0xEB)) return {};
    const uint8_t sequence = m.Data[5];
    if (sequence == 30) {
      return {FromPeer(j1939::SizedControl(j1939::kTpCmEndOfMsgAck, 206, 30, 0xFF, kPgn))};
    }
    if (sequence % 10 == 0) return {FromPeer(j1939::ClearToSend(10, sequence + 1, kPgn))};
    return {};
  });
  Claim();
  const Bytes m = Message(206, kPeer);  // 29 packets of 7 bytes and one of 3
  ASSERT_EQ(Put(m), DRAL_OK);
  EXPECT_TRUE(dral::TDralClient::IsTransportBusy(kPeer));
  ASSERT_TRUE(WaitUntil([&] { return !dral::TDralClient::IsTransportBusy(kPeer); }, 5000));
  const auto dt = Taken(0xEB);
  ASSERT_EQ(dt.size(), 30u);
  Bytes data;
  for (size_t i = 0; i < dt.size(); ++i) {
    EXPECT_EQ(dt[i].Record.Data[5], i + 1);
    data.insert(data.end(), dt[i].Record.Data + 6, dt[i].Record.Data + 13);
  }
  data.resize(206);
  EXPECT_EQ(data, Bytes(m.begin() + 7, m.end()));
  EXPECT_TRUE(Taken(0xEC, j1939::kTpCmAbort).empty());
}

TEST_F(TransferTest, CtsGrantingMoreThanAHundredGetsAHundredThenTheSenderWaits) {
  Start([](const HuxMessage& m) -> std::vector<HuxMessage> {
    if (IsControl(m, 0xEC) && m.Data[5] == j1939::kTpCmRts) {
      return {FromPeer(j1939::ClearToSend(150, 1, kPgn))};
    }
    return {};
  });
  Claim();
  const auto start = Clock::now();
  ASSERT_EQ(Put(Message(1400, kPeer)), DRAL_OK);  // 200 packets
  // No CTS after the window: the sender gives up 1250 ms later with an Abort.
  ASSERT_TRUE(WaitUntil([&] { return !Taken(0xEC, j1939::kTpCmAbort).empty(); }, 8000));
  EXPECT_GE(MsSince(start), 1250);
  const auto dt = Taken(0xEB);
  ASSERT_EQ(dt.size(), 100u);
  EXPECT_EQ(dt.back().Record.Data[5], 100);
}

// A receiver may grant as many packets per CTS as the RTS allows. The RTS therefore announces
// the sender's own limit: a receiver that grants all it may gets every packet, window by window.
TEST_F(TransferTest, ReceiverGrantingTheMostTheRtsAllowsGetsTheWholeMessage) {
  auto perCts = std::make_shared<std::atomic<uint8_t>>(0);  // the RTS's bound
  Start([perCts](const HuxMessage& m) -> std::vector<HuxMessage> {
    static constexpr int kPackets = 255;
    const auto window = [&](int next) {
      return static_cast<uint8_t>(std::min(kPackets - next + 1, int{perCts->load()}));
    };
    if (IsControl(m, 0xEC) && m.Data[5] == j1939::kTpCmRts) {
      perCts->store(std::min(m.Data[8], m.Data[9]));
      return {FromPeer(j1939::ClearToSend(window(1), 1, kPgn))};
    }
    if (!IsControl(m, 0xEB)) return {};
    const int sequence = m.Data[5];
    if (sequence == kPackets) {
      return {FromPeer(j1939::SizedControl(j1939::kTpCmEndOfMsgAck, 1785, kPackets, 0xFF, kPgn))};
    }
    if (sequence % perCts->load() == 0) {
      return {FromPeer(j1939::ClearToSend(window(sequence + 1), sequence + 1, kPgn))};
    }
    return {};
  });
  Claim();
  ASSERT_EQ(Put(Message(1785, kPeer)), DRAL_OK);  // 255 packets
  ASSERT_TRUE(WaitUntil([&] { return !dral::TDralClient::IsTransportBusy(kPeer); }, 8000));
  EXPECT_EQ(perCts->load(), dral::kMaxPacketsPerWindow);
  EXPECT_EQ(Taken(0xEB).size(), 255u);
  EXPECT_TRUE(Taken(0xEC, j1939::kTpCmAbort).empty());
}

TEST_F(TransferTest, SecondTransferToABusyDestinationIsRefusedAnotherStarts) {
  Start();  // nobody answers: the first transfer waits for its CTS
  Claim();
  ASSERT_EQ(Put(Message(20, kPeer)), DRAL_OK);
  const auto start = Clock::now();
  EXPECT_EQ(Put(Message(20, kPeer)), DRAL_ERR_TRANSPORT_BUSY);
  EXPECT_GE(MsSince(start), 24);
  EXPECT_EQ(Put(Message(20, 0x22)), DRAL_OK);
  ASSERT_TRUE(WaitUntil([&] { return Taken(0xEC, j1939::kTpCmRts).size() == 2; }, 5000));
}

TEST_F(TransferTest, AdapterSideTransportPutsOneRecordAndEndsWithItsResult) {
  Start([](const HuxMessage& m) -> std::vector<HuxMessage> {
    if (m.Type != dral::MsgJ1939Transport) return {};
    return {j1939::TransportResultRecord({true, kUs, kPeer, 0xEF00})};
  });
  server_->Queue().Block()->Header.AdapterFlags.store(dral::AdapterFlagTransport);
  Claim();
  const Bytes m = Message(100, kPeer);
  ASSERT_EQ(Put(m), DRAL_OK);
  // Without the result the transfer would stay busy for 5 s.
  const auto start = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !dral::TDralClient::IsTransportBusy(kPeer); }, 4000));
  EXPECT_LT(MsSince(start), 4000);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HuxMessage> records;
  for (const auto& s : seen_) {
    if (s.Record.Type == dral::MsgJ1939Transport) records.push_back(s.Record);
    EXPECT_FALSE(IsControl(s.Record, 0xEC)) << "no TP.CM with adapter-side transport";
  }
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Length, 100 + 6);
  EXPECT_EQ(Bytes(records[0].Data, records[0].Data + 8), (Bytes{1, kUs, kPeer, 0x00, 0xEF, 0x18, 0, 1}));
}

// A disconnect ends the connection's running sends before it frees the queue and the receive
// thread they use (AddressSanitizer and ThreadSanitizer see any use after), and waits for them.
TEST_F(TransferTest, DisconnectEndsTheConnectionsRunningTransfers) {
  Start();
  Claim();
  ASSERT_EQ(Put(Message(1785, 0xFF, true)), DRAL_OK);  // a broadcast of 255 packets: 12.7 s
  ASSERT_EQ(Put(Message(1785, kPeer)), DRAL_OK);        // waits for a CTS that never comes
  ASSERT_TRUE(WaitUntil([&] { return Taken(0xEB).size() >= 2; }, 5000));
  const auto start = Clock::now();
  ASSERT_TRUE(client_.Disconnect());
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_EQ(dral::ProcessTransportList().Count(), 0u);
  EXPECT_FALSE(dral::TDralClient::IsTransportBusy(0xFF));
  EXPECT_FALSE(dral::TDralClient::IsTransportBusy(kPeer));
}

}  // namespace
