// J1939 multi-packet messages between two applications through the whole system, with its real
// programs: each application's library sends a 1785-byte message to the other, by RTS/CTS (to
// the other's claimed address) or by BAM, both directions at once. The server routes the
// transport frames between the two connections and sends them on to the adapter; the receiving
// library reassembles the message. The payload must arrive byte for byte, at the application and
// on the bus.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "E2eHarness.h"

namespace e2e {
namespace {

constexpr int kLinkUpMs = 20000;  // library load, server start and link up
constexpr int kStepMs = 10000;    // one step of the other side
// 255 packets by RTS/CTS take milliseconds; a BAM of 255 packets takes 254 gaps of 50 ms.
constexpr int kConnectionTransferMs = 5000;
constexpr int kBroadcastTransferMs = 20000;

constexpr uint8_t kJ1939Frame = 0x30;
constexpr size_t kSize = 1785;  // the longest message: 255 packets of 7 bytes
constexpr uint8_t kPackets = 255;
constexpr uint8_t kPacketsPerCts = 100;  // the receiving library's window

// TP.CM and TP.DT as the adapter receives them (J1939 frame records).
constexpr uint8_t kPfTransportData = 0xEB;
constexpr uint8_t kPfTransportControl = 0xEC;
constexpr uint8_t kRts = 16;
constexpr uint8_t kCts = 17;
constexpr uint8_t kEndOfMsgAck = 19;
constexpr uint8_t kBam = 32;
constexpr uint8_t kGlobal = 0xFF;

// One application: its address and NAME, and the message it sends (by RTS/CTS: a PDU1 group to
// the other's address; by BAM: a PDU2 group).
struct Side {
  const char* Role;
  uint8_t Address;
  std::array<uint8_t, 8> Name;
  uint8_t PduFormat;  // RTS/CTS
  uint16_t Pgn;       // BAM
  uint8_t Priority;
  uint8_t Seed;
};
const Side kA = {"a", 0x21, {1, 0, 0, 0, 0, 0, 0xA0, 0x80}, 0xEF, 0xFF10, 6, 1};
const Side kB = {"b", 0x22, {2, 0, 0, 0, 0, 0, 0xA0, 0x80}, 0xC4, 0xFF11, 7, 2};

// The message `from` sends to `to` (and `to` receives).
Bytes Message(const Side& from, const Side& to, bool broadcast) {
  const Bytes data = TransferData(kSize, from.Seed);
  return broadcast ? J1939Message(from.Pgn, from.Address, from.Priority, data)
                   : J1939MessageTo(from.PduFormat, from.Address, to.Address, from.Priority, data);
}

// Compares a received message with the one sent; a difference is reported by its first offset
// rather than as two dumps of 1792 bytes.
void ExpectSameMessage(const std::string& where, const Bytes& got, const Bytes& sent) {
  const Bytes head(got.begin(), got.begin() + static_cast<long>(std::min<size_t>(got.size(), 16)));
  ASSERT_EQ(got.size(), sent.size()) << where << ", starting " << HexOf(head);
  const auto diff = std::mismatch(got.begin(), got.end(), sent.begin());
  EXPECT_TRUE(diff.first == got.end()) << where << ": byte " << (diff.first - got.begin()) << " is "
                                       << int{*diff.first} << ", sent " << int{*diff.second};
}

// One transfer as the adapter saw it: the TP.CM frames from `source` to `destination` about
// group `pgn` (control byte, then byte 7: a CTS's next packet) and the data of the TP.DT frames
// in the order they came, packets out of sequence counted.
struct BusTransfer {
  std::vector<std::pair<uint8_t, uint8_t>> Controls;
  Bytes Data;
  int OutOfSequence = 0;
};

BusTransfer OnTheBus(const std::vector<Bytes>& frames, uint8_t source, uint8_t destination,
                     uint32_t pgn) {
  BusTransfer t;
  for (const Bytes& f : frames) {
    // Channel bits, source, PDU specific, PDU format, priority << 2 | data page, 8 bytes.
    if (f.size() != 13 || f[1] != source || f[2] != destination) continue;
    if (f[3] == kPfTransportControl &&
        static_cast<uint32_t>(f[10] | f[11] << 8 | f[12] << 16) == pgn) {
      t.Controls.emplace_back(f[5], f[7]);
    } else if (f[3] == kPfTransportData) {
      if (f[5] != t.Data.size() / 7 + 1) ++t.OutOfSequence;
      t.Data.insert(t.Data.end(), f.begin() + 6, f.end());
    }
  }
  return t;
}

class J1939TransportTest : public SystemFixture {
 protected:
  // An application: connects, passes J1939 of channel 1, claims its address (RTS/CTS), and on
  // "go" sends its message to the other and waits for the other's.
  void Application(const Side& me, const Side& peer, bool broadcast) {
    Api api;
    DRAL_Handle h = 0;
    ASSERT_NO_FATAL_FAILURE(OpenConnection(api, h, kLinkUpMs));
    ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs));
    ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
    // A BAM needs no address; a transfer to one node needs one at both ends.
    if (!broadcast) {
      ASSERT_EQ(api.ClaimAddress(h, DRAL_PROTOCOL_J1939_CAN1, me.Address, me.Name.data()), DRAL_OK);
    }
    Mark(std::string(me.Role) + "-ready");

    ASSERT_TRUE(AwaitMark("go", kStepMs));
    EXPECT_EQ(Put(api, h, Message(me, peer, broadcast)), DRAL_OK);
    // Nothing else passes the filter: the peer's transport frames are the library's own.
    const Bytes got = NextMessage(api, h, broadcast ? kBroadcastTransferMs : kConnectionTransferMs);
    ExpectSameMessage(std::string(me.Role) + " got", got, Message(peer, me, broadcast));
    Mark(std::string(me.Role) + "-received");

    ASSERT_TRUE(AwaitMark("finish", kStepMs + kBroadcastTransferMs));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
  }

  // The test process: the adapter, both applications, "go", and what reached the bus.
  void Run(bool broadcast, int expectedFrames) {
    std::string error;
    ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM, {"--usb"}, error)) << error;
    StartApplication("a");
    ASSERT_TRUE(AwaitApplication("a-ready", kLinkUpMs));
    const pid_t server = FindServer();
    ASSERT_GT(server, 0) << "no DRALServer process";
    StartApplication("b");
    ASSERT_TRUE(AwaitApplication("b-ready", kLinkUpMs));

    ASSERT_EQ(adapter_.Command("clear"), "ok");  // the claims
    Mark("go");
    const int transferMs = broadcast ? kBroadcastTransferMs : kConnectionTransferMs;
    ASSERT_TRUE(AwaitApplication("a-received", transferMs + kStepMs));
    ASSERT_TRUE(AwaitApplication("b-received", transferMs + kStepMs));

    // Every frame went on to the adapter as well: each message whole, in sequence, once.
    EXPECT_TRUE(adapter_.WaitFor(kJ1939Frame, expectedFrames, kStepMs));
    const auto frames = adapter_.Messages(kJ1939Frame);
    EXPECT_EQ(frames.size(), static_cast<size_t>(expectedFrames));
    for (const auto& [from, to] : {std::pair{kA, kB}, std::pair{kB, kA}}) {
      const uint32_t pgn = broadcast ? from.Pgn : uint32_t{from.PduFormat} << 8;
      const BusTransfer t = OnTheBus(frames, from.Address, broadcast ? kGlobal : to.Address, pgn);
      Bytes padded = TransferData(kSize, from.Seed);
      padded.resize(size_t{kPackets} * 7, 0xFF);
      EXPECT_EQ(t.Data.size(), padded.size()) << from.Role;
      EXPECT_TRUE(t.Data == padded) << from.Role << "'s packets on the bus differ";
      EXPECT_EQ(t.OutOfSequence, 0) << from.Role;
      using Controls = std::vector<std::pair<uint8_t, uint8_t>>;
      if (broadcast) {
        EXPECT_EQ(t.Controls, (Controls{{kBam, static_cast<uint8_t>(kSize >> 8)}})) << from.Role;
      } else {
        EXPECT_EQ(t.Controls, (Controls{{kRts, static_cast<uint8_t>(kSize >> 8)}})) << from.Role;
        // The receiver's answers: a CTS per window of 100 packets, then EndOfMsgAck.
        const BusTransfer answers = OnTheBus(frames, to.Address, from.Address, pgn);
        EXPECT_EQ(answers.Controls, (Controls{{kCts, 1},
                                              {kCts, 1 + kPacketsPerCts},
                                              {kCts, 1 + 2 * kPacketsPerCts},
                                              {kEndOfMsgAck, static_cast<uint8_t>(kSize >> 8)}}))
            << to.Role << "'s answers";
      }
    }

    Mark("finish");
    EXPECT_EQ(ApplicationExit("a"), 0);
    EXPECT_EQ(ApplicationExit("b"), 0);
    // The server's own end after the last application is tested elsewhere.
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_EQ(WaitExit(server, kStepMs), 0);
    EXPECT_EQ(adapter_.Stop(kStepMs), 0);
  }
};

TEST_F(J1939TransportTest, TwoApplicationsExchangeTheLongestMessageByRtsCtsBothWaysAtOnce) {
  if (RunRole({{"a", [this] { Application(kA, kB, false); }},
               {"b", [this] { Application(kB, kA, false); }}})) {
    return;
  }
  // Each way: RTS, 255 packets; the answers: 3 CTS and EndOfMsgAck.
  Run(false, 2 * (1 + kPackets + 4));
}

TEST_F(J1939TransportTest, TwoApplicationsExchangeTheLongestMessageByBroadcastBothWaysAtOnce) {
  if (RunRole({{"a", [this] { Application(kA, kB, true); }},
               {"b", [this] { Application(kB, kA, true); }}})) {
    return;
  }
  // Each way: BAM and 255 packets, 50 ms apart (about 12.7 s).
  Run(true, 2 * (1 + kPackets));
}

}  // namespace
}  // namespace e2e
