// J1939 network management through a running server: address claims and clash notices, the
// re-send of the claims on a global request, and the routing of transport frames and claims
// between the adapter (with a J1939 node behind it) and the clients.
#include <gtest/gtest.h>

#include <vector>

#include "ServerTestFixture.h"
#include "channel/Codec.h"
#include "testsupport/J1939Peer.h"

namespace dral_test {
namespace {

using namespace dral;
namespace nm = dral::j1939;  // network management layouts

const J1939Name kNameA{0x10, 1, 2, 3, 4, 5, 6, 7};
const J1939Name kNameB{0x20, 1, 2, 3, 4, 5, 6, 7};

// An address claim record of a client (type 0x35) or the adapter.
Bytes ClaimData(uint8_t channelBits, uint8_t address, const J1939Name& name,
                uint8_t destination = 0xFF) {
  return J1939Record(channelBits, address, destination, nm::kPfAddressClaimed, 6,
                     Bytes(name.begin(), name.end()));
}

Bytes NameOf(const ClaimedAddress& record) {
  Bytes name;
  for (const auto& b : record.Name) name.push_back(b.load());
  return name;
}

std::vector<HuxMessage> Typed(const std::vector<HuxMessage>& all, uint8_t type) {
  std::vector<HuxMessage> out;
  for (const auto& m : all) {
    if (m.Type == type) out.push_back(m);
  }
  return out;
}

class J1939ServerTest : public ServerTest {
 protected:
  // The claim frames the adapter received, as (channel bits, address, NAME).
  std::vector<std::tuple<uint8_t, uint8_t, Bytes>> ClaimsSent(size_t count) {
    std::vector<std::tuple<uint8_t, uint8_t, Bytes>> out;
    EXPECT_TRUE(adapter_.WaitForCount(IsJ1939Pf(nm::kPfAddressClaimed), count, 5000));
    for (const auto& m : adapter_.Messages(IsJ1939Pf(nm::kPfAddressClaimed))) {
      EXPECT_EQ(m.Type, MsgJ1939Frame);
      EXPECT_EQ(m.Data.size(), nm::kAddressClaimLength);
      out.emplace_back(m.Data[0], m.Data[1], Bytes(m.Data.begin() + 5, m.Data.end()));
    }
    return out;
  }
  void PassAll(TestClient& client, uint8_t channelBits) {
    client.Put(MsgJ1939Filter, IdEdit(channelBits, FilterOpPassAll, 0, 0));
    Pass();
    client.TakeAll();
  }
};

TEST_F(J1939ServerTest, ASecondClaimOfAnAddressIsSentStoredAndNoticedOnEitherChannel) {
  StartServer();
  TestClient a, b;
  for (uint8_t bit : {kChannelBit1, kChannelBit2}) {
    const uint8_t address = bit == kChannelBit1 ? 0x23 : 0x24;
    const int ch = bit == kChannelBit1 ? 0 : 1;
    a.Put(MsgJ1939Control, ClaimData(bit, address, kNameA));
    Pass();
    b.Put(MsgJ1939Control, ClaimData(bit, address, kNameB));
    Pass();
    EXPECT_EQ(ClaimsSent(2), (std::vector<std::tuple<uint8_t, uint8_t, Bytes>>{
                                 {bit, address, Bytes(kNameA.begin(), kNameA.end())},
                                 {bit, address, Bytes(kNameB.begin(), kNameB.end())}}));
    const auto notices = b.TakeAll();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].Type, MsgJ1939Control);
    Bytes expected{bit, address, 0xFF, nm::kPfAddressClaimed, 0x18};
    expected.insert(expected.end(), kNameA.begin(), kNameA.end());
    EXPECT_EQ(DataOf(notices[0]), expected) << "channel bit, the claim's identifier, A's NAME";
    EXPECT_EQ(a.TakeAll().size(), 0u) << "the first holder is told nothing";
    EXPECT_EQ(b.Record().Claimed[ch].Address.load(), address);
    EXPECT_EQ(NameOf(b.Record().Claimed[ch]), Bytes(kNameB.begin(), kNameB.end()));
    EXPECT_EQ(b.Record().Claimed[1 - ch].Address.load(), bit == kChannelBit1 ? kNoAddress : 0x23);
    Settle();
  }
  EXPECT_EQ(server_->Statistics().CanTxCount, 4u);
}

TEST_F(J1939ServerTest, ClaimsOfTheNullOrGlobalAddressOrWithoutANameAreRefused) {
  StartServer();
  TestClient a, b;
  b.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x40, kNameB));
  Pass();
  Settle();
  Bytes shortClaim = ClaimData(kChannelBit1, 0x40, kNameA);
  shortClaim.pop_back();
  a.Put(MsgJ1939Control, ClaimData(kChannelBit1, 254, kNameA));
  a.Put(MsgJ1939Control, ClaimData(kChannelBit1 | kChannelBit2, 255, kNameA));
  a.Put(MsgJ1939Control, shortClaim);
  a.Put(MsgAdapterCommand0C, {0x5A});
  Pass();
  EXPECT_EQ(a.Pending(), 0);
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(MsgAdapterCommand0C), 5000));
  EXPECT_EQ(adapter_.Count(IsJ1939Pf(nm::kPfAddressClaimed)), 0u);
  EXPECT_EQ(a.Record().Claimed[0].Address.load(), kNoAddress);
  EXPECT_EQ(a.Record().Claimed[1].Address.load(), kNoAddress);
  EXPECT_EQ(a.TakeAll().size(), 0u) << "a short claim of b's address is no clash";
}

// A client drops a clash notice unless its record holds the address the notice names, and
// gives the address up by writing 0xFE into that record. A notice must therefore follow the
// store, and no store of the same claim may follow the notice.
TEST_F(J1939ServerTest, AClashIsNoticedOnlyAfterTheClaimIsStoredAndSent) {
  StartServer();
  TestClient a, b;
  a.Put(MsgJ1939Control, ClaimData(kChannelBit2, 0x23, kNameA));
  Pass();
  Settle();
  // The transmit ring fills to the last few bytes and stays full: no claim frame fits.
  link_.WriteLimit = 0;
  TestClient filler;
  filler.Put(MsgAdapterCommand00, Bytes(kHuxMaxData, 0x11));
  for (int i = 0; i < 700; ++i) ASSERT_TRUE(filler.Put(MsgAdapterCommand0C, {0x22}));
  Pass();
  ASSERT_GT(filler.Pending(), 0) << "the transmit ring should be full";

  b.Put(MsgJ1939Control, ClaimData(kChannelBit2, 0x23, kNameB));
  Pass();
  EXPECT_EQ(b.Pending(), 1) << "the claim waits for the link";
  EXPECT_EQ(b.Received(), 0) << "no notice before the claim went out";

  link_.WriteLimit = -1;
  ASSERT_TRUE(WaitUntil([&] {
    Pass();
    return b.Pending() == 0;
  }));
  const auto notices = b.TakeAll();
  ASSERT_EQ(notices.size(), 1u) << "one notice, however often the claim was tried";
  EXPECT_EQ(notices[0].Data[1], b.Record().Claimed[1].Address.load())
      << "the record already holds the address the notice names";
  // The client gives the address up; nothing of this claim overwrites that.
  b.Record().Claimed[1].Address.store(kNoAddress);
  Pass();
  EXPECT_EQ(b.Record().Claimed[1].Address.load(), kNoAddress);
}

TEST_F(J1939ServerTest, ANewHolderOfASlotInheritsNoAddressOfTheOldOne) {
  StartServer();
  TestClient b;
  int slot;
  {
    TestClient a;
    slot = a.Slot();
    a.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x23, kNameA));
    Pass();
  }
  TestClient c;  // takes the slot before any pass saw it free
  ASSERT_EQ(c.Slot(), slot);
  Settle();
  b.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x23, kNameB));
  Pass();
  EXPECT_EQ(b.TakeAll().size(), 0u) << "no clash with an address nobody holds";
  EXPECT_EQ(c.Record().Claimed[0].Address.load(), kNoAddress);
  EXPECT_EQ(ClaimsSent(1).size(), 1u);
}

TEST_F(J1939ServerTest, AGlobalRequestForClaimsResendsOneClaimPerClientAndChannel) {
  StartServer();
  TestClient a, b, c;
  a.Put(MsgJ1939Control, ClaimData(kChannelBit1 | kChannelBit2, 0x21, kNameA));
  b.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x22, kNameB));
  Pass();
  Settle();
  const Bytes request = J1939Record(kChannelBit1, 0x30, 0xFF, nm::kPfRequest, 6, {0x00, 0xEE, 0x00});
  c.Put(MsgJ1939Frame, request);
  Pass();
  EXPECT_EQ(ClaimsSent(2), (std::vector<std::tuple<uint8_t, uint8_t, Bytes>>{
                               {kChannelBit1, 0x21, Bytes(kNameA.begin(), kNameA.end())},
                               {kChannelBit1, 0x22, Bytes(kNameB.begin(), kNameB.end())}}));
  const auto all = adapter_.Messages(
      [](const AdapterMessage& m) { return m.Type == MsgJ1939Frame; });
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Data, request) << "the request goes out before the claims";
  Settle();

  // Channel 2, asked through network management: only a's claim there.
  c.Put(MsgJ1939Control, J1939Record(kChannelBit2, 0x30, 0xFF, nm::kPfRequest, 6, {0x00, 0xEE, 0x00}));
  // A request for another group, or to one node, asks for nothing.
  c.Put(MsgJ1939Frame, J1939Record(kChannelBit1, 0x30, 0xFF, nm::kPfRequest, 6, {0x00, 0xEF, 0x00}));
  c.Put(MsgJ1939Frame, J1939Record(kChannelBit1, 0x30, 0x21, nm::kPfRequest, 6, {0x00, 0xEE, 0x00}));
  Pass();
  EXPECT_EQ(ClaimsSent(1), (std::vector<std::tuple<uint8_t, uint8_t, Bytes>>{
                               {kChannelBit2, 0x21, Bytes(kNameA.begin(), kNameA.end())}}));
  Settle();
  EXPECT_EQ(adapter_.Count(IsJ1939Pf(nm::kPfAddressClaimed)), 0u);
}

TEST_F(J1939ServerTest, ARequestForClaimsFromTheBusIsAnsweredWithTheClaimsItAsksFor) {
  StartServer();
  TestClient a, b;
  a.Put(MsgJ1939Control, ClaimData(kChannelBit1 | kChannelBit2, 0x21, kNameA));
  b.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x22, kNameB));
  Pass();
  Settle();
  const Bytes nameA(kNameA.begin(), kNameA.end()), nameB(kNameB.begin(), kNameB.end());
  auto request = [](uint8_t channelBits, uint8_t destination, uint8_t groupFormat = 0xEE) {
    return J1939Record(channelBits, 0x80, destination, nm::kPfRequest, 6,
                       {0x00, groupFormat, 0x00});
  };
  using Claims = std::vector<std::tuple<uint8_t, uint8_t, Bytes>>;

  adapter_.InjectMessage(MsgJ1939Control, request(kChannelBit1, 0xFF));
  EXPECT_EQ(ClaimsSent(2), (Claims{{kChannelBit1, 0x21, nameA}, {kChannelBit1, 0x22, nameB}}));
  Settle();
  adapter_.InjectMessage(MsgJ1939Control, request(kChannelBit1, 0x22));
  EXPECT_EQ(ClaimsSent(1), (Claims{{kChannelBit1, 0x22, nameB}}));
  Settle();
  adapter_.InjectMessage(MsgJ1939Frame, request(kChannelBit2, 0xFF));  // as a plain frame
  EXPECT_EQ(ClaimsSent(1), (Claims{{kChannelBit2, 0x21, nameA}}));
  Settle();
  // Another group, or an address nobody holds there, asks for nothing; the last request shows
  // that the server has handled those before it.
  adapter_.InjectMessage(MsgJ1939Control, request(kChannelBit1, 0xFF, 0xEF));
  adapter_.InjectMessage(MsgJ1939Control, request(kChannelBit2, 0x22));
  adapter_.InjectMessage(MsgJ1939Control, request(kChannelBit2, 0x21));
  EXPECT_EQ(ClaimsSent(1), (Claims{{kChannelBit2, 0x21, nameA}}));
}

TEST_F(J1939ServerTest, AnAdapterClaimReachesTheHoldersOfItsDestinationAndTheFiltersThatPassIt) {
  StartServer();
  TestClient holder, other, elsewhere, listener;
  holder.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x23, kNameA));
  other.Put(MsgJ1939Control, ClaimData(kChannelBit1, 0x24, kNameB));
  elsewhere.Put(MsgJ1939Control, ClaimData(kChannelBit2, 0x23, kNameB));
  Pass();
  PassAll(listener, kChannelBit1);
  J1939Peer node(adapter_, kChannelBit1, 0x80);

  node.Claim(0x80, kNameB, 0x23);
  ASSERT_TRUE(WaitUntil([&] { return listener.Received() == 1; }));
  const auto got = holder.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Type, MsgJ1939Control);
  EXPECT_EQ(DataOf(got[0]), ClaimData(kChannelBit1, 0x80, kNameB, 0x23));
  EXPECT_EQ(other.TakeAll().size(), 0u);
  EXPECT_EQ(elsewhere.TakeAll().size(), 0u);
  const auto plain = listener.TakeAll();
  EXPECT_EQ(plain[0].Type, MsgJ1939Frame);
  EXPECT_EQ(DataOf(plain[0]), ClaimData(kChannelBit1, 0x80, kNameB, 0x23));

  node.Claim(0x80, kNameB);  // to everyone: every holder on channel 1 looks at it
  ASSERT_TRUE(WaitUntil([&] { return listener.Received() == 1; }));
  EXPECT_EQ(holder.TakeAll().size(), 1u);
  EXPECT_EQ(other.TakeAll().size(), 1u);
  EXPECT_EQ(elsewhere.TakeAll().size(), 0u);
}

TEST_F(J1939ServerTest, TransportAnnouncementsGoByTheIdentifierOfTheMessageTheyAnnounce) {
  StartServer();
  TestClient byGroup, byDestination, byPdu1Group, closed;
  byGroup.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, 0x01FFFF00, 0x00FEEC00));
  byDestination.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, 0x8000FF00, 0x2300));
  byPdu1Group.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, 0x01FF0000, 0x00EF0000));
  Pass();
  for (TestClient* c : {&byGroup, &byDestination, &byPdu1Group}) c->TakeAll();
  const std::array<uint8_t, 4> fields{9, 0, 2, 0xFF};
  // Which clients get one announcement from the adapter (a CTS to the node's address follows
  // it, which only proves delivery to clients with an open filter).
  auto receivers = [&](const Bytes& announcement) {
    adapter_.InjectMessage(MsgJ1939Control, announcement);
    adapter_.InjectMessage(MsgJ1939Control,
                           TpCmRecord(kChannelBit1, 0x80, 0x23, nm::kTpCmCts, {1, 1, 0xFF, 0xFF}, 0));
    EXPECT_TRUE(WaitUntil([&] {
      return byGroup.Received() > 0 && byDestination.Received() > 0 && byPdu1Group.Received() > 0;
    }));
    std::vector<int> who;
    int n = 0;
    for (TestClient* c : {&byGroup, &byDestination, &byPdu1Group, &closed}) {
      for (const auto& m : c->TakeAll()) {
        if (m.Data[nm::kTpCmControl] != nm::kTpCmCts) who.push_back(n);
      }
      ++n;
    }
    return who;
  };
  EXPECT_EQ(receivers(TpCmRecord(kChannelBit1, 0x80, 0xFF, nm::kTpCmBam, fields, 0xFEEC)),
            std::vector<int>{0});
  EXPECT_EQ(receivers(TpCmRecord(kChannelBit1, 0x80, 0x23, nm::kTpCmRts, fields, 0xEF00)),
            (std::vector<int>{1, 2})) << "a PDU1 group takes the destination from the TP.CM";
  EXPECT_EQ(receivers(TpCmRecord(kChannelBit1, 0x80, 0x23, nm::kTpCmRts, fields, 0xFEEC)),
            (std::vector<int>{0, 1})) << "an RTS of a PDU2 group is matched again by destination";
}

TEST_F(J1939ServerTest, AClientTransferToABusNodeRunsThroughTheServerAndOthersSeeIt) {
  StartServer();
  TestClient sender, watcher, deaf;
  PassAll(sender, kChannelBit1);
  PassAll(watcher, kChannelBit1);
  J1939Peer node(adapter_, kChannelBit1, 0x40);
  node.SetCtsWindow(0);  // first: wait
  const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9};
  sender.Put(MsgJ1939Control,
             TpCmRecord(kChannelBit1, 0x21, 0x40, nm::kTpCmRts, {9, 0, 2, 0xFF}, 0xEF00));
  Pass();
  std::vector<HuxMessage> senderGot;  // everything the sender received, kept for the end
  auto nextCts = [&]() {
    std::optional<HuxMessage> cts;
    EXPECT_TRUE(WaitUntil([&] {
      for (const auto& m : sender.TakeAll()) {
        senderGot.push_back(m);
        if (m.Data[3] == nm::kPfTransportControl && m.Data[nm::kTpCmControl] == nm::kTpCmCts)
          cts = m;
      }
      return cts.has_value();
    }));
    return cts ? DataOf(*cts) : Bytes{};
  };
  EXPECT_EQ(nextCts()[nm::kTpCmAllowed], 0) << "wait";
  node.SetCtsWindow(150);
  node.GrantWaiting();
  const Bytes cts = nextCts();
  EXPECT_EQ(cts[nm::kTpCmAllowed], 2) << "at most the packets left";
  EXPECT_EQ(cts[nm::kTpCmNext], 1);
  for (uint8_t seq : {1, 2}) {
    Bytes packet{seq};
    for (int i = 0; i < 7; ++i) {
      const size_t at = (seq - 1u) * 7 + static_cast<size_t>(i);
      packet.push_back(at < data.size() ? data[at] : 0xFF);
    }
    sender.Put(MsgJ1939Control, J1939Record(kChannelBit1, 0x21, 0x40, nm::kPfTransportData, 7, packet));
  }
  Pass();
  ASSERT_TRUE(node.WaitForReceived(1, 5000));
  EXPECT_EQ(node.Received()[0].Data, data);
  EXPECT_EQ(node.Received()[0].Group, 0xEF00u);
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& m : sender.TakeAll()) senderGot.push_back(m);
    return !senderGot.empty() && senderGot.back().Data[nm::kTpCmControl] == nm::kTpCmEndOfMsgAck;
  }));
  for (const auto& m : senderGot) EXPECT_EQ(m.Data[1], 0x40) << "only the node's answers";
  // The watcher saw the RTS and both packets from the sender; the sender got none of them back.
  const auto seen = watcher.TakeAll();
  EXPECT_EQ(Typed(seen, MsgJ1939Control).size(), seen.size());
  size_t packets = 0;
  for (const auto& m : seen) packets += m.Data[3] == nm::kPfTransportData && m.Data[1] == 0x21;
  EXPECT_EQ(packets, 2u);
  EXPECT_EQ(deaf.TakeAll().size(), 0u) << "a closed filter gets no transport frames";
  EXPECT_EQ(adapter_.Count([](const AdapterMessage& m) {
              return m.Type == MsgJ1939Frame && m.Data[3] == nm::kPfTransportData;
            }),
            2u);
}

TEST_F(J1939ServerTest, ABroadcastFromTheBusReachesOpenFiltersInOrder) {
  StartServer();
  TestClient a;
  PassAll(a, kChannelBit2);
  J1939Peer node(adapter_, kChannelBit2, 0x50);
  Bytes data(20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  node.SendBam(0xFECA, data, {0, {1, 3, 2}});
  ASSERT_TRUE(WaitUntil([&] { return a.Received() == 4; }));
  const auto got = a.TakeAll();
  EXPECT_EQ(got[0].Data[nm::kTpCmControl], nm::kTpCmBam);
  std::vector<uint8_t> order;
  for (size_t i = 1; i < got.size(); ++i) order.push_back(got[i].Data[nm::kTpDtSequence]);
  EXPECT_EQ(order, (std::vector<uint8_t>{1, 3, 2}));
}

TEST_F(J1939ServerTest, AdapterTransportResultsReachEveryClient) {
  StartServer();
  TestClient a, b;
  J1939Peer node(adapter_, kChannelBit1, 0x40);
  node.SetTransportResult(TransportResult::Success);
  a.Put(MsgJ1939Transport, {kChannelBit1, 0x21, 0x40, 0x00, 0xEF, 0x18, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  Pass();
  ASSERT_TRUE(WaitUntil([&] { return a.Received() == 1 && b.Received() == 1; }));
  const auto result = a.TakeAll()[0];
  EXPECT_EQ(result.Type, MsgTransportResult);
  EXPECT_EQ(DataOf(result), (Bytes{1, 0x21, 0x40, 0x00, 0xEF, 0x00}));
}

TEST_F(J1939ServerTest, CopiesOfAWholeMessageForTheAdaptersTransportGoByItsOwnIdentifier) {
  StartServer();
  TestClient sender, byDestination, blocking, byGroup;
  constexpr uint32_t kGroupFields = 0x00FFFF00;  // PDU format and PDU specific
  // PGN 0xEF00 to 0x40 is seen as PF 0xEF, PS 0x40; PGN 0xFEF1 as PF 0xFE, PS 0xF1.
  byDestination.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, kGroupFields, 0xEF4000));
  blocking.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  blocking.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpBlock, kGroupFields, 0xEF4000));
  byGroup.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, kGroupFields, 0xFEF100));
  Pass();
  for (TestClient* c : {&byDestination, &blocking, &byGroup}) c->TakeAll();

  const Bytes toNode{kChannelBit1, 0x21, 0x40, 0x00, 0xEF, 0x18, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Bytes broadcast{kChannelBit1, 0x21, 0xFF, 0xF1, 0xFE, 0x18, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  sender.Put(MsgJ1939Transport, toNode);
  sender.Put(MsgJ1939Transport, broadcast);
  Pass();
  const auto first = byDestination.TakeAll();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].Type, MsgJ1939Transport);  // the layout the receive thread decodes
  EXPECT_EQ(DataOf(first[0]), toNode);
  const auto second = blocking.TakeAll();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(DataOf(second[0]), broadcast);
  const auto third = byGroup.TakeAll();
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(DataOf(third[0]), broadcast);
  EXPECT_EQ(sender.TakeAll().size(), 0u);
}

TEST_F(J1939ServerTest, NetworkManagementOfAnUnknownFormatIsDroppedAndTheRingMovesOn) {
  StartServer();
  TestClient a, b;
  PassAll(b, kChannelBit1);
  a.Put(MsgJ1939Control, J1939Record(kChannelBit1, 0x21, 0x04, 0xF0, 6, {1, 2, 3}));
  a.Put(MsgJ1939Control, {kChannelBit1, 0x21, 0x40});  // no whole identifier
  a.Put(MsgAdapterCommand0C, {0x5A});
  Pass();
  EXPECT_EQ(a.Pending(), 0);
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(MsgAdapterCommand0C), 5000));
  EXPECT_EQ(adapter_.Count(OfType(MsgJ1939Frame)), 0u);
  EXPECT_EQ(b.TakeAll().size(), 0u);
}

}  // namespace
}  // namespace dral_test
