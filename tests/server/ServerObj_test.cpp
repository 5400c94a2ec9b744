#include "server/ServerObj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ServerTestFixture.h"

namespace dral_test {
namespace {

using namespace dral;
using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::pair<uint8_t, Bytes>>;

class ServerPassTest : public ServerTest {
 protected:
  // The CAN pass entry that GiveFilterAndCommand gives a client.
  const Bytes deadEntry_ = IdEdit(kChannelBit1, FilterOpPass, 0x7FF, 0x123);

  // Gives `client` a CAN pass entry (deadEntry_) and a remembered command, and waits until both
  // have reached the adapter.
  void GiveFilterAndCommand(TestClient& client) {
    client.Put(MsgCanFilter, deadEntry_);
    client.Put(MsgAdapterCommand0A, {1});
    Pass();
    Settle();
  }
};

TEST_F(ServerPassTest, ARequestThatCannotBeSentBlocksOnlyItsOwnClient) {
  StartServer();
  link_.WriteLimit = 0;  // the transmit ring fills and stays full
  TestClient a, b;
  // Two of these do not fit into the transmit ring together; one and a small frame do.
  a.Put(MsgAdapterCommand00, Bytes(kHuxMaxData, 0x11));
  a.Put(MsgAdapterCommand00, Bytes(kHuxMaxData, 0x22));
  a.Put(MsgAdapterCommand0C, {0xA1});
  b.Put(MsgAdapterCommand0C, {0xB1});
  Pass();
  EXPECT_EQ(a.Pending(), 2);
  EXPECT_EQ(b.Pending(), 0);

  link_.WriteLimit = -1;
  AdapterFrames({MsgAdapterCommand00, MsgAdapterCommand0C}, 2);
  Pass();
  EXPECT_EQ(a.Pending(), 0);
  auto got = AdapterFrames({MsgAdapterCommand00, MsgAdapterCommand0C}, 4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].second[0], 0x11);
  EXPECT_EQ(got[1], (std::pair<uint8_t, Bytes>{MsgAdapterCommand0C, {0xB1}}));
  EXPECT_EQ(got[2].second[0], 0x22);
  EXPECT_EQ(got[3], (std::pair<uint8_t, Bytes>{MsgAdapterCommand0C, {0xA1}}));
}

TEST_F(ServerPassTest, AnAdapterRefusalStopsEveryRingForFiftyMilliseconds) {
  StartServer();
  TestClient a, b;
  adapter_.RefuseNextTransmits(1);
  a.Put(MsgCanFrame, IdFrame(kChannelBit1, 0x123));
  const auto sent = Clock::now();  // the refusal, and so the pause, start after this
  Pass();
  ASSERT_TRUE(WaitUntil([&] { return server_->Paused(); }));
  a.Put(MsgAdapterCommand0C, {1});
  b.Put(MsgAdapterCommand0C, {2});
  Pass();
  EXPECT_EQ(a.Pending(), 1);
  EXPECT_EQ(b.Pending(), 1);
  ASSERT_TRUE(WaitUntil([&] {
    Pass();
    return a.Pending() == 0 && b.Pending() == 0;
  }));
  const auto waited = Clock::now() - sent;
  EXPECT_GE(waited, std::chrono::milliseconds(45));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  EXPECT_FALSE(server_->Paused());
}

TEST_F(ServerPassTest, AFilterMergeTheTransmitRingRefusesReachesTheAdapterWholeOnALaterPass) {
  StartServer();
  Settle();
  link_.WriteLimit = 0;  // nothing leaves the transmit ring
  // Fill the ring to 25 free bytes: the merge's channel switch and "block all" would fit, its
  // pass entry no more.
  int room = THuxTxThread::kRingSize - 1;
  HuxMessage filler{};
  filler.Type = MsgAdapterCommand00;
  while (room > 25) {
    filler.Length = static_cast<uint16_t>(std::min(room - 25 - 6, int{kHuxMaxData}));
    ASSERT_TRUE(server_->LinkManager().SendMessage(filler));
    room -= filler.Length + 6;  // zero bytes: nothing is escaped
  }
  TestClient a;
  a.Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPass, 0x7FF, 0x123));
  Pass();
  const auto replies = a.TakeAll();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(DataOf(replies[0]), (Bytes{MsgCanFilter, ReplyOk}));

  link_.WriteLimit = -1;
  auto merge = [&] {  // the commands of CAN1's merge (the new slot also merges J1708)
    Frames out;
    for (const auto& m : AdapterGot({MsgChannelControl, MsgCanFilter})) {
      if ((m.Data.at(0) & kChannelBitsMask) == kChannelBit1) out.emplace_back(m.Type, m.Data);
    }
    return out;
  };
  ASSERT_TRUE(WaitUntil([&] {
    Pass();
    return merge().size() >= 3;
  })) << merge().size() << " commands of the merge arrived";
  const Bytes entry = IdEdit(kChannelBit1, FilterOpPass, 0x7FF, 0x123);
  EXPECT_EQ(merge(), (Frames{{MsgChannelControl, {kChannelBit1, 1}},
                             {MsgCanFilter, {kChannelBit1 | FilterOpBlockAll << kFilterOpShift}},
                             {MsgCanFilter, entry}}));
}

TEST_F(ServerPassTest, ThePassAfterAnAdapterRefusalComesWhenTheFiftyMillisecondsAreOver) {
  // Rounds far apart: only the end of the pause brings the pass that sends the held request.
  StartServer(true, 60000);
  TestClient a;
  adapter_.RefuseNextTransmits(1);
  a.Put(MsgCanFrame, IdFrame(kChannelBit1, 0x123));
  a.SignalServer();
  ASSERT_TRUE(WaitUntil([&] { return server_->Paused(); }));
  a.Put(MsgAdapterCommand0C, {1});
  a.SignalServer();  // the pass this wakes finds the pause in force
  const auto held = adapter_.WaitForMessage(OfType(MsgAdapterCommand0C), 5000);
  ASSERT_TRUE(held.has_value()) << "no pass came when the pause ended";
  const auto refused = adapter_.WaitForMessage(OfType(MsgCanFrame), 0);
  ASSERT_TRUE(refused.has_value());
  EXPECT_GE(held->At - refused->At, std::chrono::milliseconds(45));
}

TEST_F(ServerPassTest, RawModesShowInTheStatusBytes) {
  StartServer();
  TestClient a;
  auto& h = a.Block().Header;
  a.Put(MsgJ1939RawMode, {1});
  a.Put(MsgJ1708RawMode, {1});
  Pass();
  adapter_.InjectMessage(sim::kStatusReply, SerializeStatus(SimStatus{}));
  ASSERT_TRUE(WaitUntil([&] { return h.Can1Status == 0x81 && h.J1708Status == 0x81; }));
  EXPECT_EQ(h.Can2Status, 0x01);

  a.Put(MsgJ1939RawMode, {});  // no data: no change
  Pass();
  EXPECT_EQ(server_->J1939RawMode(), 1);
  a.Put(MsgJ1939RawMode, {2});  // anything but 1 is off
  a.Put(MsgJ1708RawMode, {0});
  Pass();
  EXPECT_EQ(server_->J1939RawMode(), 0);
  adapter_.InjectMessage(sim::kStatusReply, SerializeStatus(SimStatus{}));
  ASSERT_TRUE(WaitUntil([&] { return h.Can1Status == 0x01 && h.J1708Status == 0x01; }));
}

TEST_F(ServerPassTest, AdapterRepliesReachOnlyClientsWhoseLastCommandAskedForThem) {
  StartServer();
  auto a = std::make_unique<TestClient>();
  TestClient b, c, d;
  a->Put(MsgAdapterCommand0A, {1});
  b.Put(MsgAdapterCommand08, {1});
  c.Put(MsgAdapterCommand0B, {1});
  c.Put(MsgAdapterCommand0C, {1});  // not remembered
  Pass();
  adapter_.InjectMessage(MsgReply, {MsgAdapterCommand0A, 1});
  adapter_.InjectMessage(MsgReply, {MsgJ1939Frame, 1});  // a transmit accepted: nobody
  adapter_.InjectMessage(MsgAdapterData09, {7});
  adapter_.InjectMessage(MsgTransportResult, {9});  // everybody; routed last
  ASSERT_TRUE(WaitUntil([&] { return d.Received() == 1; }));
  auto types = [](TestClient& client) {
    std::vector<uint8_t> t;
    for (const auto& m : client.TakeAll()) t.push_back(m.Type);
    return t;
  };
  EXPECT_EQ(types(*a), (std::vector<uint8_t>{MsgReply, MsgTransportResult}));
  EXPECT_EQ(types(b), (std::vector<uint8_t>{MsgAdapterData09, MsgTransportResult}));
  EXPECT_EQ(types(c), (std::vector<uint8_t>{MsgTransportResult}));

  // The next client in a freed slot does not inherit the old client's last command, also when
  // it takes the slot before any pass saw it free.
  a.reset();
  TestClient e;
  ASSERT_EQ(e.Slot(), 0);
  Pass();
  adapter_.InjectMessage(MsgReply, {MsgAdapterCommand0A, 1});
  adapter_.InjectMessage(MsgTransportResult, {9});
  ASSERT_TRUE(WaitUntil([&] { return d.Received() == 2; }));
  EXPECT_EQ(types(e), (std::vector<uint8_t>{MsgTransportResult}));
}

TEST_F(ServerPassTest, AClientThatTakesAFreedSlotBeforeTheNextPassGetsNoReplyForTheOldClient) {
  StartServer();
  TestClient watcher;  // slot 0: sees the transport result that marks the end
  auto a = std::make_unique<TestClient>();
  a->Put(MsgAdapterCommand0A, {1});
  Pass();
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(MsgAdapterCommand0A), 2000));
  const int slot = a->Slot();
  a.reset();
  TestClient b;  // the same slot, and the mask the server saw last
  ASSERT_EQ(b.Slot(), slot);
  Pass();
  adapter_.InjectMessage(MsgReply, {MsgAdapterCommand0A, 1});
  adapter_.InjectMessage(MsgTransportResult, {9});  // to every client, after the reply
  ASSERT_TRUE(WaitUntil([&] { return watcher.Received() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return b.Received() >= 1; }));
  const auto got = b.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Type, MsgTransportResult);
}

TEST_F(ServerPassTest, TheFirstSlotMaskChangeResynchronisesJ1708) {
  StartServer();
  Pass();
  TestClient a;
  Pass();
  EXPECT_EQ(AdapterFrames({MsgChannelControl, MsgJ1708Filter}, 2),
            (Frames{{MsgChannelControl, {ChannelJ1708, 1}}, {MsgJ1708Filter, {FilterOpBlockAll}}}));
  EXPECT_EQ(a.Block().Header.LinkState, LinkConnected);
  adapter_.ClearRecords();
  Pass();  // mask unchanged
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(adapter_.Count(OfType(MsgJ1708Filter)), 0u);
}

TEST_F(ServerPassTest, APassFreesTheSlotOfADeadClientAndMergesTheFiltersWithoutIt) {
  StartServer();
  TestClient live;
  TestClient dead;
  GiveFilterAndCommand(dead);
  server_->SyncCanFilter(0);
  const auto before = AdapterFrames({MsgCanFilter}, 2);
  ASSERT_EQ(before.size(), 2u);
  ASSERT_EQ(before.back().second, deadEntry_);
  // Its liveness lock goes as with a process that died; mask bit, tables and ring stay.
  ChannelBlock& b = live.Block();
  const int slot = dead.Slot();
  dead.ForgetLiveness();
  dead.Put(MsgCanFrame, IdFrame(kChannelBit1, 0x123));  // would reach the adapter if read
  ASSERT_EQ(b.Header.SlotMask.load(), 0b11);
  adapter_.ClearRecords();

  std::this_thread::sleep_for(std::chrono::milliseconds(TDralServer::kReclaimIntervalMs));
  Pass();
  EXPECT_EQ(b.Header.SlotMask.load(), 0b01);
  EXPECT_EQ(b.Slots[slot].SlotId.load(), kFreeSlot);
  EXPECT_EQ(b.Slots[slot].CanFilter[0].Count.load(), 0);
  const auto frames = AdapterFrames({MsgCanFilter}, 1);
  for (const auto& frame : frames) EXPECT_NE(frame.second, deadEntry_);
  EXPECT_EQ(adapter_.Count(OfType(MsgCanFrame)), 0u);
  // The slot's next client does not get the dead one's adapter replies.
  TestClient next;
  ASSERT_EQ(next.Slot(), slot);
  adapter_.InjectMessage(MsgReply, {MsgAdapterCommand0A, 1});
  adapter_.InjectMessage(MsgTransportResult, {9});
  ASSERT_TRUE(WaitUntil([&] { return live.Received() == 1; }));
  EXPECT_EQ(next.TakeAll().size(), 1u);
}

TEST_F(ServerPassTest, AClientTakingOverADeadClientsSlotBeforeAnyReclaimGetsTheFiltersMergedWithoutIt) {
  StartServer();
  TestClient live;
  TestClient dead;
  GiveFilterAndCommand(dead);
  const int slot = dead.Slot();
  dead.ForgetLiveness();
  TestClient next;  // at once, with no reclaim in between: the mask bit never changes
  ASSERT_EQ(next.Slot(), slot);
  ASSERT_EQ(live.Block().Header.SlotMask.load(), 0b11);

  Pass();
  const auto frames = AdapterFrames({MsgCanFilter}, 1);
  ASSERT_FALSE(frames.empty()) << "the filters were not merged again";
  for (const auto& frame : frames) EXPECT_NE(frame.second, deadEntry_);
  adapter_.InjectMessage(MsgReply, {MsgAdapterCommand0A, 1});
  adapter_.InjectMessage(MsgTransportResult, {9});
  ASSERT_TRUE(WaitUntil([&] { return live.Received() == 1; }));
  EXPECT_EQ(next.TakeAll().size(), 1u) << "the new client got the dead one's reply";
}

TEST_F(ServerPassTest, J1708FramesGetTheirChecksumAndANineBitLengthOneHigher) {
  StartServer();
  TestClient a;
  a.Put(MsgJ1708Frame, {0x00, 0x07, 0xFF, 0x80, 0x54});
  Pass();
  EXPECT_EQ(AdapterFrames({MsgJ1708Frame}, 1),
            (Frames{{MsgJ1708Frame, {0x80, 0x07, 0x00, 0x80, 0x54, 0x2C}}}));
}

TEST_F(ServerPassTest, MalformedRequestsAreDroppedAndTheRingMovesOn) {
  StartServer();
  TestClient a;
  Bytes longJ1708(kHuxMaxData, 0x01);  // no room left for the checksum
  a.Put(MsgJ1708Frame, longJ1708);
  a.Put(MsgJ1708Frame, {0x00, 0x00});              // shorter than its header
  a.Put(MsgCanFrame, {kChannelBit1, 0x23, 0x01});  // no whole identifier
  a.Put(MsgJ1939Frame, {kChannelBit1, 0, 0, 0});
  a.Put(MsgJ1939Transport, {kChannelBit1, 0x21, 0x40, 0x00, 0xEF});  // no priority byte
  a.Put(MsgJ1939Control, {kChannelBit1, 0, 0, 0});
  a.Put(0x7F, {1});  // unknown type
  // Every byte doubled on the wire: a frame longer than the transmit ring can ever hold.
  a.Put(MsgAdapterCommand00, Bytes(kHuxMaxData, 0x7E));
  a.Put(MsgAdapterCommand0C, {0x5A});
  Pass();
  EXPECT_EQ(a.Pending(), 0);
  EXPECT_EQ(AdapterFrames({MsgAdapterCommand0C}, 1), (Frames{{MsgAdapterCommand0C, {0x5A}}}));
  EXPECT_EQ(AdapterGot({MsgCanFrame, MsgJ1939Frame, MsgJ1939Transport, MsgJ1708Frame,
                        MsgJ1939Control, 0x7F, MsgAdapterCommand00})
                .size(),
            0u);
}

TEST_F(ServerPassTest, VersionAndStatusRepliesUpdateOnlyWhatTheirLengthCovers) {
  StartServer();
  adapter_.SetSilent(true);  // no status poll answers between the injected replies
  auto& h = server_->Channel().Block()->Header;
  const uint16_t flags = h.AdapterFlags;
  adapter_.InjectMessage(MsgVersionReply, {1, 2, 3, 4, 5, 6, 7});
  ASSERT_TRUE(WaitUntil([&] { return server_->AdapterVersion() == 0x0304; }));
  EXPECT_EQ(h.AdapterFlags, flags);
  adapter_.InjectMessage(MsgVersionReply, {1, 2, 3, 5, 5, 6, 0x01, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return server_->AdapterVersion() == 0x0305; }));
  EXPECT_EQ(h.AdapterFlags, 1);

  adapter_.InjectMessage(MsgStatusReply, {0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0});  // 11: nothing
  adapter_.InjectMessage(MsgStatusReply, {0, 5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 8});
  ASSERT_TRUE(WaitUntil([&] { return server_->Statistics().AdapterPacketsReceived != 0; }));
  const ServerStatistics s = server_->Statistics();
  EXPECT_EQ(s.AdapterPacketsReceived, 5u);
  EXPECT_EQ(s.AdapterPacketsSent, 6u);
  EXPECT_EQ(s.AdapterChecksumErrors, 7u);
  EXPECT_EQ(s.AdapterPacketErrors, 8u);  // its high byte lies past the data
  EXPECT_EQ(h.Can1Status, 0x01);

  link_.LinkUp = false;  // link loss clears the adapter flags
  ASSERT_TRUE(WaitUntil([&] { return h.AdapterFlags == 0; }));
}

TEST_F(ServerPassTest, DeliveriesWakeTheirClient) {
  StartServer();
  TestClient a, b;
  b.Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  Pass();
  std::atomic<bool> woken{false};
  std::thread waiter([&] {
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (!woken && Clock::now() < until) {
      woken = b.Event()->Wait(20) == plat::WaitResult::Signaled;
    }
  });
  // A pulse wakes only a thread already waiting, so frames go on until one lands.
  ASSERT_TRUE(WaitUntil([&] {
    adapter_.InjectCan(kChannelBit1, 0x100, {1});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return woken.load();
  }));
  waiter.join();
}

TEST_F(ServerPassTest, APassWakesEachReceivingClientOnceAfterAllItsRecords) {
  StartServer();
  TestClient a, b, c;
  for (TestClient* client : {&b, &c}) {
    client->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  }
  Pass();
  b.TakeAll();
  c.TakeAll();
  const uint32_t before[] = {a.Event()->Generation(), b.Event()->Generation(),
                             c.Event()->Generation()};
  constexpr uint32_t kFrames = 10;
  for (uint32_t i = 0; i < kFrames; ++i) a.Put(MsgCanFrame, IdFrame(kChannelBit1, 0x100 + i));
  Pass();
  EXPECT_EQ(a.Event()->Generation() - before[0], 0u) << "the sender gets no copy";
  EXPECT_EQ(b.Event()->Generation() - before[1], 1u);
  EXPECT_EQ(c.Event()->Generation() - before[2], 1u);
  for (TestClient* client : {&b, &c}) {
    const auto got = client->TakeAll();
    ASSERT_EQ(got.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i)
      EXPECT_EQ(DataOf(got[i]), IdFrame(kChannelBit1, 0x100 + i));
  }
}

TEST_F(ServerPassTest, CopiesThatFindAClientRingFullAreCountedAsDropped) {
  StartServer();
  TestClient a, b;
  b.Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  Pass();
  b.TakeAll();
  // More copies than b's ring holds; a's requests go in batches that fit its own ring.
  constexpr uint32_t kBatch = 100, kBatches = 9;
  for (uint32_t n = 0; n < kBatches; ++n) {
    for (uint32_t i = 0; i < kBatch; ++i) ASSERT_TRUE(a.Put(MsgCanFrame, IdFrame(kChannelBit1, i)));
    ASSERT_TRUE(WaitUntil([&] {
      Pass();
      return a.Pending() == 0;
    }));
  }
  const uint32_t held = b.Received();
  EXPECT_LT(held, kBatch * kBatches);
  EXPECT_EQ(server_->Statistics().ClientRingDrops, kBatch * kBatches - held);
  EXPECT_EQ(server_->Statistics().ReceiveRingDrops, 0u);
}

TEST_F(ServerPassTest, TheWaitThreadAndATestDrivenPassNeverOverlap) {
  StartServer(true);
  TestClient a, b;
  constexpr int kEach = 200;
  for (int i = 0; i < kEach; ++i) {
    a.Put(MsgAdapterCommand0C, {0xA, static_cast<uint8_t>(i)});
    b.Put(MsgAdapterCommand0C, {0xB, static_cast<uint8_t>(i)});
    server_->Channel().ServerEvent().Pulse();  // as a client does after each put
    Pass();
  }
  auto got = AdapterFrames({MsgAdapterCommand0C}, 2 * kEach);
  ASSERT_EQ(got.size(), 2u * kEach);  // each exactly once
  int next[2] = {0, 0};
  for (const auto& [type, data] : got) {
    int& n = next[data[0] == 0xA ? 0 : 1];
    EXPECT_EQ(data[1], static_cast<uint8_t>(n));  // in order per client
    ++n;
  }
}

TEST_F(ServerPassTest, TheServerSurvivesAProcessScribblingTheRingIndicesOfASlot) {
  StartServer(true);
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int n = 0; n < kSlotCount; ++n) clients.push_back(std::make_unique<TestClient>());
  TestClient& other = *clients.front();
  TestClient& victim = *clients.back();  // the last slot: past its rings lies the block's end
  ASSERT_EQ(victim.Slot(), kSlotCount - 1);
  victim.Record().CanFilter[0].Mode = FilterBlockListed;  // passes every CAN1 frame

  std::atomic<bool> stop{false};
  std::thread scribbler([&] {
    // ReadIndex, WriteIndex, Count: outside the buffer, or a ring of 2666 empty records.
    constexpr uint16_t kDamage[][3] = {
        {0xC864, 0xC864, 1}, {0, 0xFFF0, 1}, {0xFFF0, 0, 0}, {0, 8200, 0}, {0, 7998, 2666}};
    for (size_t i = 0; !stop; ++i) {
      const auto& d = kDamage[i % std::size(kDamage)];
      for (MessageRing* ring : {&victim.Record().ToServer, &victim.Record().ToClient}) {
        ring->ReadIndex = d[0];
        ring->WriteIndex = d[1];
        ring->Count = d[2];
      }
      std::this_thread::yield();
    }
  });
  constexpr int kRequests = 50;
  for (int i = 0; i < kRequests; ++i) {
    other.Put(MsgAdapterCommand0C, {0xA, static_cast<uint8_t>(i)});
    adapter_.InjectCan(kChannelBit1, 0x100, {static_cast<uint8_t>(i)});  // delivered to victim
    server_->Channel().ServerEvent().Pulse();
  }
  const auto fromOther = [](const AdapterMessage& m) {
    return m.Type == MsgAdapterCommand0C && m.Data.size() == 2 && m.Data[0] == 0xA;
  };
  EXPECT_TRUE(adapter_.WaitForCount(fromOther, kRequests, 20000)) << "the pass got stuck";
  stop = true;
  scribbler.join();

  // Both rings of the scribbled slot work again.
  victim.Put(MsgAdapterCommand0C, {0xB});
  server_->Channel().ServerEvent().Pulse();
  EXPECT_TRUE(adapter_.WaitForMessage(
      [](const AdapterMessage& m) { return m.Type == MsgAdapterCommand0C && m.Data == Bytes{0xB}; },
      20000));
  victim.TakeAll();
  adapter_.InjectCan(kChannelBit1, 0x321, {7});
  const auto delivered = [&] {
    for (const HuxMessage& m : victim.TakeAll()) {
      if (m.Type == MsgCanFrame && DataOf(m) == IdFrame(kChannelBit1, 0x321, {7})) return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitUntil(delivered, 20000));
}

// Deliveries run against clients that come and go in the same slot: the new holder of the slot
// finds nothing of its predecessor, neither a frame its filter passed nor a reply to its request.
TEST_F(ServerPassTest, ASlotsNextHolderNeverGetsWhatWasMeantForThePreviousOne) {
  StartServer(true);
  const HuxMessage frame = MakeMessage(MsgCanFrame, IdFrame(kChannelBit1 | kExtendedIdBit, 0x100));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> deliveries{0};
  std::thread deliverer([&] {
    while (!stop) {
      server_->DeliverCan(frame, kNoSlot);
      deliveries.fetch_add(1);
      std::this_thread::yield();
    }
  });
  const auto deliveriesGoOn = [&] {
    const uint64_t seen = deliveries.load();
    return WaitUntil([&] { return deliveries.load() >= seen + 2; });
  };
  constexpr int kRounds = 150;
  int staleRounds = 0;
  for (int round = 0; round < kRounds && !HasFatalFailure(); ++round) {
    int slot = -1;
    {
      TestClient old;
      slot = old.Slot();
      old.Record().CanFilter[0].Mode.store(FilterBlockListed);  // an empty block list: all pass
      ASSERT_TRUE(WaitUntil([&] { return old.Received() > 0; }));
      old.Put(MsgCanFilter, {0x00});  // names no channel: refused
      old.SignalServer();
    }
    TestClient fresh;
    ASSERT_EQ(fresh.Slot(), slot);
    bool stale = fresh.Received() != 0;
    ASSERT_TRUE(deliveriesGoOn());
    fresh.Put(MsgCanFilter, {static_cast<uint8_t>(kChannelBit2 | FilterOpPassAll << kFilterOpShift)});
    fresh.SignalServer();
    ASSERT_TRUE(WaitUntil([&] { return fresh.Received() > 0; })) << "own request lost";
    ASSERT_TRUE(deliveriesGoOn());
    const auto got = fresh.TakeAll();
    stale = stale || got.size() != 1 || got[0].Type != MsgReply || got[0].Data[1] != ReplyOk;
    if (stale) ++staleRounds;
  }
  stop = true;
  deliverer.join();
  EXPECT_EQ(staleRounds, 0) << "of " << kRounds << " rounds";
}

TEST_F(ServerPassTest, DisableChannelsAndShutDownLeaveTheAdapterAndChannelClean) {
  StartServer();
  server_->DisableChannels();
  EXPECT_EQ(AdapterFrames({MsgChannelControl}, 3), (Frames{{MsgChannelControl, {1, 0}},
                                                           {MsgChannelControl, {2, 0}},
                                                           {MsgChannelControl, {3, 0}}}));
  TestClient keeper;  // keeps the block alive
  server_.reset();
  EXPECT_EQ(keeper.Block().Header.LinkState, LinkNoServer);
  EXPECT_EQ(keeper.Block().Header.ServerWindow, 0u);
}

TEST_F(ServerPassTest, TheServerCanBeDestroyedWhileItsLinkComesUp) {
  // The link-up merge runs on the link manager's thread and sends through the link manager,
  // which must still be there while that thread ends.
  for (int delayMs = 0; delayMs < 20; delayMs += 2) {
    StartServerAsync();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    server_.reset();
  }
}

}  // namespace
}  // namespace dral_test
