#include "server/Filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "ServerTestFixture.h"

namespace dral {
namespace {

using dral_test::Bytes;

constexpr uint32_t kPfMask = 0x00FF0000;

std::unique_ptr<IdFilterTable> NewTable() {
  return std::make_unique<IdFilterTable>();
}

std::vector<IdEntry> Entries(const IdFilterTable& t) {
  std::vector<IdEntry> out;
  for (int i = 0; i < ListedCount(t); ++i) out.push_back({t.Entries[i].Mask, t.Entries[i].Value});
  return out;
}

// --- edits -----------------------------------------------------------------------------------

TEST(IdFilterTable, PassEntryIntoBlockModeReplacesJ1939ListButExtendsCanList) {
  for (IdFilterKind kind : {IdFilterKind::J1939, IdFilterKind::Can}) {
    auto t = NewTable();
    EditIdFilterTable(*t, kind, FilterOpPassAll, 0, 0, false);
    EditIdFilterTable(*t, kind, FilterOpBlock, 0x7FF, 0x100, false);
    EditIdFilterTable(*t, kind, FilterOpBlock, 0x7FF, 0x200, false);
    ASSERT_TRUE(EditIdFilterTable(*t, kind, FilterOpPass, 0x7FF, 0x300, false).Ok);
    EXPECT_EQ(t->Mode, FilterPassListed);
    if (kind == IdFilterKind::J1939) {
      EXPECT_EQ(Entries(*t), (std::vector<IdEntry>{{0x7FF, 0x300}}));
    } else {
      // CAN entries carry bit 31 in the mask; the old block entries now pass.
      EXPECT_EQ(Entries(*t), (std::vector<IdEntry>{
                                 {0x800007FF, 0x100}, {0x800007FF, 0x200}, {0x800007FF, 0x300}}));
      EXPECT_TRUE(CanTablePasses(*t, 0x100));
    }
  }
}

TEST(IdFilterTable, FailedEditsCarryJ1939CodesAndLeaveTheTableAsItWas) {
  auto j = NewTable();
  auto c = NewTable();
  EXPECT_EQ(EditIdFilterTable(*j, IdFilterKind::J1939, FilterOpBlock, 1, 1, false).ErrorCode,
            FilterErrNotFound);
  auto notFound = EditIdFilterTable(*c, IdFilterKind::Can, FilterOpBlock, 1, 1, false);
  EXPECT_FALSE(notFound.Ok);
  EXPECT_EQ(notFound.ErrorCode, FilterErrNone);

  for (uint32_t i = 0; i < kIdFilterEntries; ++i) {
    ASSERT_TRUE(EditIdFilterTable(*j, IdFilterKind::J1939, FilterOpPass, ~0u, i, false).Ok);
  }
  auto full = EditIdFilterTable(*j, IdFilterKind::J1939, FilterOpPass, ~0u, 64, false);
  EXPECT_FALSE(full.Ok);
  EXPECT_EQ(full.ErrorCode, FilterErrListFull);
  EXPECT_EQ(ListedCount(*j), kIdFilterEntries);

  EditIdFilterTable(*c, IdFilterKind::Can, FilterOpPassAll, 0, 0, false);
  for (uint32_t i = 0; i < kIdFilterEntries; ++i) {
    ASSERT_TRUE(EditIdFilterTable(*c, IdFilterKind::Can, FilterOpBlock, 0x7FF, i, false).Ok);
  }
  EXPECT_FALSE(EditIdFilterTable(*c, IdFilterKind::Can, FilterOpBlock, 0x7FF, 64, false).Ok);
  // A pass entry that does not fit must not turn the 64 block entries into pass entries.
  EXPECT_FALSE(EditIdFilterTable(*c, IdFilterKind::Can, FilterOpPass, 0x7FF, 64, false).Ok);
  EXPECT_EQ(c->Mode, FilterBlockListed);

  auto jb = NewTable();
  EditIdFilterTable(*jb, IdFilterKind::J1939, FilterOpPassAll, 0, 0, false);
  for (uint32_t i = 0; i < kIdFilterEntries; ++i) {
    EditIdFilterTable(*jb, IdFilterKind::J1939, FilterOpBlock, ~0u, i, false);
  }
  EXPECT_EQ(EditIdFilterTable(*jb, IdFilterKind::J1939, FilterOpBlock, ~0u, 64, false).ErrorCode,
            FilterErrBlockListFull);
}

TEST(IdFilterTable, RemoveFindsTheEntryAsStoredAndClosesTheGap) {
  auto t = NewTable();
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, 0x7FF, 0x100, false);
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, 0x7FF, 0x100, true);
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, 0x0F0, 0xFFF, false);  // stored 0x0F0
  // The same request that added an entry removes it, also with Value bits outside the Mask.
  ASSERT_TRUE(EditIdFilterTable(*t, IdFilterKind::Can, FilterOpBlock, 0x0F0, 0xFFF, false).Ok);
  // Extended and standard entries of one identifier are different entries.
  ASSERT_TRUE(EditIdFilterTable(*t, IdFilterKind::Can, FilterOpBlock, 0x7FF, 0x100, false).Ok);
  EXPECT_EQ(Entries(*t), (std::vector<IdEntry>{{0x800007FF, 0x80000100}}));
}

TEST(IdFilterTable, CanValueBit31UnderMaskBit31MarksAnExtendedEntryWithoutTheFlag) {
  auto t = NewTable();
  ASSERT_TRUE(
      EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, kIdBit31 | 0x7FF, kIdBit31 | 0x123,
                        false)
          .Ok);
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, 0x7FF, kIdBit31 | 0x456, false);
  EXPECT_EQ(Entries(*t), (std::vector<IdEntry>{{0x800007FF, 0x80000123}, {0x800007FF, 0x456}}));
  EXPECT_TRUE(CanTablePasses(*t, kIdBit31 | 0x123));
  EXPECT_FALSE(CanTablePasses(*t, 0x123));
  EXPECT_TRUE(CanTablePasses(*t, 0x456));  // bit 31 outside the request's Mask is not kept
}

TEST(MidFilterTable, TheTwoHundredFiftySeventhMidFailsAndRemoveClosesTheGap) {
  auto t = std::make_unique<MidFilterTable>();
  for (int i = 0; i < kMidFilterEntries; ++i) {
    ASSERT_TRUE(EditMidFilterTable(*t, FilterOpPass, static_cast<uint8_t>(i)).Ok);
  }
  EXPECT_FALSE(EditMidFilterTable(*t, FilterOpPass, 7).Ok);
  ASSERT_TRUE(EditMidFilterTable(*t, FilterOpBlock, 0).Ok);
  EXPECT_EQ(t->Mids[0], 1);
  EXPECT_EQ(ListedCount(*t), 255);
  EXPECT_FALSE(MidTablePasses(*t, 0));
  EXPECT_FALSE(EditMidFilterTable(*t, FilterOpBlock, 0).Ok);  // no longer listed

  EditMidFilterTable(*t, FilterOpPassAll, 0);
  EditMidFilterTable(*t, FilterOpBlock, 0x80);
  EXPECT_TRUE(MidTablePasses(*t, 0x81));
  EXPECT_FALSE(MidTablePasses(*t, 0x80));
  // A pass MID in block mode turns the block list into a pass list.
  EditMidFilterTable(*t, FilterOpPass, 0x81);
  EXPECT_TRUE(MidTablePasses(*t, 0x80));
  EXPECT_FALSE(MidTablePasses(*t, 0x82));
}

// --- matching --------------------------------------------------------------------------------

TEST(FilterMatching, J1939MaskBit31RestrictsAnEntryToPdu1) {
  auto t = NewTable();
  EditIdFilterTable(*t, IdFilterKind::J1939, FilterOpPass, kIdBit31 | 0xFF, 0x25, false);
  EXPECT_TRUE(J1939TablePasses(*t, 0x18EF0025));   // PF 0xEF: PDU1
  EXPECT_FALSE(J1939TablePasses(*t, 0x18F00425));  // PF 0xF0: PDU2
  EXPECT_FALSE(J1939TablePasses(*t, 0x18FEF125));
  // Without bit 31 the same entry takes PDU2 frames too.
  EditIdFilterTable(*t, IdFilterKind::J1939, FilterOpPass, 0xFF, 0x25, false);
  EXPECT_TRUE(J1939TablePasses(*t, 0x18FEF125));
}

TEST(FilterMatching, CanEntriesTellStandardFromExtendedAndModesDecide) {
  auto t = NewTable();
  EXPECT_FALSE(CanTablePasses(*t, 0x100));  // empty pass list passes nothing
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPass, 0x7FF, 0x100, false);
  uint8_t ext[5] = {kChannelBit1 | kExtendedIdBit, 0x00, 0x01, 0, 0};
  uint8_t std11[5] = {kChannelBit1, 0x00, 0x01, 0, 0};
  EXPECT_TRUE(CanTablePasses(*t, CanFilterId(std11)));
  EXPECT_FALSE(CanTablePasses(*t, CanFilterId(ext)));
  EditIdFilterTable(*t, IdFilterKind::Can, FilterOpPassAll, 0, 0, false);
  EXPECT_TRUE(CanTablePasses(*t, CanFilterId(ext)));  // empty block list passes everything
}

TEST(FilterMatching, ACountBeyondTheTableIsClamped) {
  // A client process may write any Count; matching must stay inside the table.
  auto t = NewTable();
  for (auto& e : t->Entries) e.Mask = ~0u, e.Value = 1;
  t->Count = 60000;
  auto m = std::make_unique<MidFilterTable>();
  m->Count = 60000;
  EXPECT_FALSE(J1939TablePasses(*t, 0x18FEF100));
  EXPECT_FALSE(MidTablePasses(*m, 0x80));
  EXPECT_EQ(ListedCount(*t), kIdFilterEntries);
}

// --- merge -----------------------------------------------------------------------------------

std::vector<std::pair<uint8_t, Bytes>> Frames(const AdapterCommandList& list) {
  std::vector<std::pair<uint8_t, Bytes>> out;
  for (const auto& c : list)
    out.emplace_back(c.Type, Bytes(c.Data.begin(), c.Data.begin() + c.Length));
  return out;
}

TEST(FilterMerge, J1708MergeSwitchesTheChannelAndSendsNothingWhileUnavailable) {
  auto t = std::make_unique<MidFilterTable>();
  EditMidFilterTable(*t, FilterOpPass, 0x80);
  EditMidFilterTable(*t, FilterOpPass, 0x88);
  const MidFilterTable* active[] = {t.get()};
  using F = std::vector<std::pair<uint8_t, Bytes>>;
  EXPECT_EQ(Frames(MergeMidFilters(active, true)), (F{{MsgChannelControl, {3, 1}},
                                                      {MsgJ1708Filter, {2}},
                                                      {MsgJ1708Filter, {0, 0x80}},
                                                      {MsgJ1708Filter, {0, 0x88}}}));
  EXPECT_EQ(Frames(MergeMidFilters(active, false)), F{});
  EXPECT_EQ(Frames(MergeMidFilters({}, false)),
            (F{{MsgChannelControl, {3, 0}}, {MsgJ1708Filter, {3}}}));
}

}  // namespace
}  // namespace dral

// --- through a running server ------------------------------------------------------------------

namespace dral_test {
namespace {

using namespace dral;
using Frames = std::vector<std::pair<uint8_t, Bytes>>;

class FilterServerTest : public ServerTest {};

TEST_F(FilterServerTest, EditsAreAnsweredWithTwoOrSixByteReplies) {
  StartServer();
  TestClient a;
  a.Put(MsgJ1939Filter, IdEdit(kChannelBit1 | kChannelBit2, FilterOpPass, kPfMask, 0xF0 << 16));
  a.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpBlock, 1, 1));  // not listed
  a.Put(MsgCanFilter, IdEdit(kChannelBit2, FilterOpBlock, 1, 1));    // not listed
  a.Put(MsgJ1708Filter, {FilterOpBlock, 0x80});                      // not listed
  a.Put(MsgJ1939Filter, Bytes{});
  a.Put(MsgCanFilter, Bytes{kChannelBit1 | FilterOpPass << kFilterOpShift, 0, 0});  // too short
  a.Put(MsgCanFilter, Bytes{kChannelBit1 | FilterOpPassAll << kFilterOpShift});     // bare op: fine
  Pass();
  EXPECT_EQ(a.Pending(), 0);
  std::vector<Bytes> replies;
  for (const auto& m : a.TakeAll()) {
    EXPECT_EQ(m.Type, MsgReply);
    replies.push_back(DataOf(m));
  }
  EXPECT_EQ(replies, (std::vector<Bytes>{
                         {0x34, 1},
                         {0x34, 1},              // one reply per channel
                         {0x34, 0, 2, 4, 0, 0},  // J1939 not found: 4
                         {0x24, 0, 2, 0, 0, 0},  // CAN: always 0
                         {0x44, 0, 2, 0, 0, 0},
                         {0x34, 0, 2, 0, 0, 0},  // empty edit
                         {0x24, 0, 2, 0, 0, 0},  // edit without its entry
                         {0x24, 1},
                     }));
}

TEST_F(FilterServerTest, AnEditResendsThatChannelsMergedFilter) {
  StartServer();
  TestClient a;
  Pass();  // the new client's J1708 merge
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(MsgJ1708Filter), 5000));
  adapter_.ClearRecords();
  a.Put(MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpPass, kPfMask, 0xFE << 16));
  Pass();
  auto frames = AdapterFrames({MsgChannelControl, MsgJ1939Filter, MsgCanFilter}, 3);
  EXPECT_EQ(frames, (Frames{
                        {MsgChannelControl, {2, 1}},
                        {MsgJ1939Filter, {0x02 | 3 << 2}},
                        {MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpPass, kPfMask, 0xFE << 16)},
                    }));
}

TEST_F(FilterServerTest, LinkUpWithoutClientsBlocksEverythingAndSwitchesJ1708Off) {
  StartServer();
  EXPECT_EQ(linkUpFrames_, (Frames{{MsgJ1939Filter, {0x01 | 3 << 2}},
                                   {MsgJ1939Filter, {0x02 | 3 << 2}},
                                   {MsgCanFilter, {0x01 | 3 << 2}},
                                   {MsgCanFilter, {0x02 | 3 << 2}},
                                   {MsgChannelControl, {ChannelJ1708, 0}},
                                   {MsgJ1708Filter, {FilterOpBlockAll}}}));
}

TEST_F(FilterServerTest, FifteenPassEntriesGoToTheAdapterASixteenthMakesItPassAll) {
  StartServer();
  TestClient clients[3];
  for (int c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < 5; ++i) {
      clients[c].Put(MsgJ1939Filter,
                     IdEdit(kChannelBit2, FilterOpPass, kPfMask, (0xA0 + c * 5 + i) << 16));
    }
  }
  Pass();
  Settle();
  server_->SyncJ1939Filter(1);
  Frames expected{{MsgChannelControl, {2, 1}}, {MsgJ1939Filter, {0x02 | 3 << 2}}};
  for (uint32_t e = 0; e < 15; ++e) {
    expected.push_back(
        {MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpPass, kPfMask, (0xA0 + e) << 16)});
  }
  EXPECT_EQ(AdapterFrames({MsgChannelControl, MsgJ1939Filter}, expected.size()), expected);

  adapter_.ClearRecords();
  clients[2].Put(MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpPass, kPfMask, 0xB0 << 16));
  Pass();
  EXPECT_EQ(AdapterFrames({MsgChannelControl, MsgJ1939Filter}, 2),
            (Frames{{MsgChannelControl, {2, 1}}, {MsgJ1939Filter, {0x02 | 2 << 2}}}));
}

TEST_F(FilterServerTest, BlockingAndPassingClientsTogetherMakeTheAdapterPassAll) {
  StartServer();
  TestClient blocker;
  auto passer = std::make_unique<TestClient>();
  blocker.Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  blocker.Put(MsgCanFilter,
              IdEdit(kChannelBit1 | kExtendedIdBit, FilterOpBlock, 0x1FFFFFFF, 0x18FEF100));
  passer->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPass, 0x7FF, 0x100));
  Pass();
  Settle();
  server_->SyncCanFilter(0);
  EXPECT_EQ(AdapterFrames({MsgChannelControl, MsgCanFilter}, 2),
            (Frames{{MsgChannelControl, {1, 1}}, {MsgCanFilter, {0x01 | 2 << 2}}}));

  // The blocker alone: its entry goes to the adapter, extended as 0x10 and without bit 31.
  passer.reset();
  adapter_.ClearRecords();
  server_->SyncCanFilter(0);
  EXPECT_EQ(AdapterFrames({MsgChannelControl, MsgCanFilter}, 3),
            (Frames{{MsgChannelControl, {1, 1}},
                    {MsgCanFilter, {0x01 | 2 << 2}},
                    {MsgCanFilter, IdEdit(kChannelBit1 | kExtendedIdBit, FilterOpBlock, 0x1FFFFFFF,
                                          0x18FEF100)}}));
}

TEST_F(FilterServerTest, AFreedSlotsCanFilterNeverReachesItsNextClient) {
  StartServer();
  auto a = std::make_unique<TestClient>();
  a->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  Pass();
  a.reset();  // the client library leaves the CAN tables behind
  server_->SyncCanFilter(0);
  TestClient b;
  ASSERT_EQ(b.Slot(), 0);
  b.Put(MsgJ1708Filter, {FilterOpPassAll, 0});
  Pass();
  b.TakeAll();
  adapter_.InjectCan(kChannelBit1, 0x123, {1});
  adapter_.InjectJ1708({0x80, 1, 2});  // routed after the CAN frame: marks its end
  ASSERT_TRUE(WaitUntil([&] { return b.Received() >= 1; }));
  auto got = b.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Type, MsgJ1708Frame);
}

TEST_F(FilterServerTest, AdapterJ1708FramesNeedAGoodChecksumUnlessRawModeIsOn) {
  StartServer();
  TestClient a;
  a.Put(MsgJ1708Filter, {FilterOpPassAll, 0});
  Pass();
  a.TakeAll();
  // The adapter's 9-bit length counts the message; the checksum byte follows uncounted.
  const Bytes badChecksum{0, 0, 3, 0x80, 0x54, 0x01, 0x00};
  adapter_.InjectJ1708({0x80, 0x54, 0x01}, false);  // no checksum
  adapter_.InjectMessage(MsgJ1708Frame, badChecksum);
  adapter_.InjectJ1708({0x80, 0x54, 0x02});
  ASSERT_TRUE(WaitUntil([&] { return a.Received() >= 1; }));
  auto got = a.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  const uint8_t good[] = {0x80, 0x54, 0x02};
  EXPECT_EQ(DataOf(got[0]), (Bytes{0, 0, 3, 0x80, 0x54, 0x02, Checksum(good, 3)}));  // unchanged

  a.Put(MsgJ1708RawMode, {1});
  Pass();
  adapter_.InjectMessage(MsgJ1708Frame, badChecksum);
  ASSERT_TRUE(WaitUntil([&] { return a.Received() >= 1; }));
  got = a.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  // 9-bit length 3 + 1: the raw client's count takes in the checksum byte.
  EXPECT_EQ(DataOf(got[0]), (Bytes{0, 0, 4, 0x80, 0x54, 0x01, 0x00}));
}

TEST_F(FilterServerTest, TheSenderNeverGetsItsOwnCopy) {
  StartServer();
  TestClient a, b;
  for (TestClient* c : {&a, &b}) {
    c->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
    c->Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
    c->Put(MsgJ1708Filter, {FilterOpPassAll, 0});
  }
  Pass();
  a.TakeAll();
  b.TakeAll();
  a.Put(MsgCanFrame, IdFrame(kChannelBit1, 0x123));
  a.Put(MsgJ1939Frame, IdFrame(kChannelBit1, 0x18FEF100));
  a.Put(MsgJ1708Frame, {0, 0, 3, 0x80, 0x54, 0x01});
  Pass();
  EXPECT_EQ(a.Received(), 0);
  auto got = b.TakeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].Type, MsgCanFrame);
  EXPECT_EQ(got[1].Type, MsgJ1939Frame);
  // The copy keeps the checksum the server appended but not in its 9-bit length.
  EXPECT_EQ(DataOf(got[2]), (Bytes{0, 0, 3, 0x80, 0x54, 0x01, Checksum(&got[2].Data[3], 3)}));
  EXPECT_EQ(server_->Statistics().CanTxCount, 2u);
  EXPECT_EQ(server_->Statistics().J1708TxCount, 1u);
}

TEST_F(FilterServerTest, AFrameOnAnUnusableChannelGoesToTheAdapterButIsNeitherCopiedNorCounted) {
  StartServer();
  TestClient a, b;
  b.Put(MsgCanFilter, IdEdit(kChannelBit1 | kChannelBit2, FilterOpPassAll, 0, 0));
  b.Put(MsgJ1939Filter, IdEdit(kChannelBit1 | kChannelBit2, FilterOpPassAll, 0, 0));
  Pass();
  b.TakeAll();
  SetStatus(StatusAvailable | StatusError, 0x00, StatusAvailable);  // CAN1 faulty, CAN2 absent
  adapter_.ClearRecords();
  for (uint8_t channel : {kChannelBit1, kChannelBit2}) {
    a.Put(MsgCanFrame, IdFrame(channel, 0x123));
    a.Put(MsgJ1939Frame, IdFrame(channel, 0x18FEF100));
  }
  Pass();
  EXPECT_EQ(AdapterFrames({MsgCanFrame, MsgJ1939Frame}, 4).size(), 4u);
  EXPECT_EQ(b.Received(), 0);
  EXPECT_EQ(server_->Statistics().CanTxCount, 0u);

  SetStatus(StatusAvailable, StatusAvailable, StatusAvailable);
  a.Put(MsgCanFrame, IdFrame(kChannelBit2, 0x124));
  a.Put(MsgJ1939Frame, IdFrame(kChannelBit1, 0x18FEF101));
  Pass();
  EXPECT_EQ(b.TakeAll().size(), 2u);
  EXPECT_EQ(server_->Statistics().CanTxCount, 2u);
}

TEST_F(FilterServerTest, SixteenClientsEachGetExactlyWhatTheirFilterPasses) {
  StartServer();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kSlotCount; ++i) {
    clients.push_back(std::make_unique<TestClient>());
    ASSERT_EQ(clients.back()->Slot(), i);
  }
  // Clients 0..14 pass one standard identifier each; client 15 blocks 0x100 only.
  for (int i = 0; i < 15; ++i) {
    clients[i]->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPass, 0x7FF, 0x100 + i));
  }
  clients[15]->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpPassAll, 0, 0));
  clients[15]->Put(MsgCanFilter, IdEdit(kChannelBit1, FilterOpBlock, 0x7FF, 0x100));
  Pass();
  for (auto& c : clients) c->TakeAll();

  for (uint32_t id = 0x100; id < 0x110; ++id) adapter_.InjectCan(kChannelBit1, id, {1});
  adapter_.InjectCan(kChannelBit2, 0x101, {1});                   // other channel: nobody
  adapter_.InjectCan(kChannelBit1 | kExtendedIdBit, 0x100, {1});  // only client 15
  ASSERT_TRUE(WaitUntil([&] { return clients[15]->Received() >= 16; }));
  for (int i = 0; i < 15; ++i) {
    auto got = clients[i]->TakeAll();
    ASSERT_EQ(got.size(), 1u) << "client " << i;
    EXPECT_EQ(GetU32(&got[0].Data[1]), 0x100u + i);
  }
  auto last = clients[15]->TakeAll();
  ASSERT_EQ(last.size(), 16u);
  EXPECT_EQ(GetU32(&last[0].Data[1]), 0x101u);
  EXPECT_EQ(last[15].Data[0], kChannelBit1 | kExtendedIdBit);
}

// --- the table rules as a client meets them: its edit replies and the frames it then gets ---

// The records in a client's ToClient ring as (type, data).
Frames Records(TestClient& c) {
  Frames out;
  for (const auto& m : c.TakeAll()) out.emplace_back(m.Type, DataOf(m));
  return out;
}

// Identifiers of the frames of `type` among `records`.
std::vector<uint32_t> Ids(const Frames& records, uint8_t type) {
  std::vector<uint32_t> out;
  for (const auto& [t, d] : records) {
    if (t == type && d.size() >= 5) out.push_back(GetU32(&d[1]));
  }
  return out;
}

// Injects a J1708 frame behind whatever was injected before and collects what `c` (whose MID
// filter passes 0x80) receives until that frame is there: adapter frames are routed in order, so
// every earlier one has then been delivered or dropped. The records include the J1708 frame.
Frames AwaitAdapterTraffic(AdapterSimulator& adapter, TestClient& c) {
  adapter.InjectJ1708({0x80, 1, 2});
  Frames got;
  const auto hasJ1708 = [&] {
    for (const auto& f : Records(c)) got.push_back(f);
    return std::any_of(got.begin(), got.end(),
                       [](const auto& f) { return f.first == MsgJ1708Frame; });
  };
  EXPECT_TRUE(WaitUntil(hasJ1708)) << "the closing J1708 frame never arrived";
  return got;
}

TEST_F(FilterServerTest, APassEntryIntoABlockingTableStartsAJ1939PassListButKeepsCanEntries) {
  StartServer();
  TestClient a;
  constexpr uint32_t kIds[] = {0x18FEF100, 0x18FEF200, 0x18FEF300, 0x18FEF400};
  constexpr uint32_t kAll = 0x1FFFFFFF;
  for (uint8_t type : {MsgJ1939Filter, MsgCanFilter}) {
    const uint8_t bits = type == MsgJ1939Filter ? kChannelBit1 : kChannelBit2 | kExtendedIdBit;
    a.Put(type, IdEdit(bits, FilterOpPassAll, 0, 0));
    a.Put(type, IdEdit(bits, FilterOpBlock, kAll, kIds[0]));
    a.Put(type, IdEdit(bits, FilterOpBlock, kAll, kIds[1]));
    a.Put(type, IdEdit(bits, FilterOpPass, kAll, kIds[2]));
  }
  a.Put(MsgJ1708Filter, {FilterOpPassAll, 0});
  Pass();
  EXPECT_EQ(Records(a), (Frames{{MsgReply, {0x34, 1}},
                                {MsgReply, {0x34, 1}},
                                {MsgReply, {0x34, 1}},
                                {MsgReply, {0x34, 1}},
                                {MsgReply, {0x24, 1}},
                                {MsgReply, {0x24, 1}},
                                {MsgReply, {0x24, 1}},
                                {MsgReply, {0x24, 1}},
                                {MsgReply, {0x44, 1}}}));

  for (uint32_t id : kIds) {
    adapter_.InjectJ1939(kChannelBit1, id, {1});
    adapter_.InjectCan(kChannelBit2 | kExtendedIdBit, id, {2});
  }
  const Frames got = AwaitAdapterTraffic(adapter_, a);
  // J1939: the pass entry replaced the block list, so only its own identifier passes.
  EXPECT_EQ(Ids(got, MsgJ1939Frame), (std::vector<uint32_t>{kIds[2]}));
  // CAN: the block entries became pass entries beside the new one.
  EXPECT_EQ(Ids(got, MsgCanFrame), (std::vector<uint32_t>{kIds[0], kIds[1], kIds[2]}));
}

TEST_F(FilterServerTest, TheSixtyFifthEntryAndTheTwoHundredFiftySeventhMidAreRefused) {
  StartServer();
  TestClient a;
  constexpr uint32_t kAll = 0x1FFFFFFF;
  constexpr uint32_t kFirst = 0x18FEF100;  // entry i passes kFirst + i (source address i)
  a.Put(MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpPassAll, 0, 0));  // channel 2 blocks
  Pass();
  ASSERT_EQ(Records(a), (Frames{{MsgReply, {0x34, 1}}}));
  struct Case {
    const char* what;
    std::function<void(uint32_t)> edit;  // puts the i-th edit
    int fitting;                         // edits that fit, each answered "done"
    Bytes refusal;                       // the reply to one more
  };
  const Case cases[] = {
      {"J1939 pass list",
       [&](uint32_t i) {
         a.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, kAll, kFirst + i));
       },
       kIdFilterEntries,
       {0x34, 0, 2, FilterErrListFull, 0, 0}},
      {"J1939 block list",
       [&](uint32_t i) {
         a.Put(MsgJ1939Filter, IdEdit(kChannelBit2, FilterOpBlock, kAll, kFirst + i));
       },
       kIdFilterEntries,
       {0x34, 0, 2, FilterErrBlockListFull, 0, 0}},
      {"CAN pass list",
       [&](uint32_t i) {
         a.Put(MsgCanFilter, IdEdit(kChannelBit1 | kExtendedIdBit, FilterOpPass, kAll, kFirst + i));
       },
       kIdFilterEntries,
       {0x24, 0, 2, 0, 0, 0}},
      {"MID pass list",
       [&](uint32_t i) {
         a.Put(MsgJ1708Filter, {FilterOpPass, static_cast<uint8_t>(i)});
       },
       kMidFilterEntries,
       {0x44, 0, 2, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i <= c.fitting; ++i) c.edit(static_cast<uint32_t>(i));
    Pass();
    ASSERT_EQ(a.Pending(), 0) << c.what;
    Frames expected(c.fitting, {MsgReply, {c.refusal[0], 1}});
    expected.push_back({MsgReply, c.refusal});
    EXPECT_EQ(Records(a), expected) << c.what;
  }

  // The refused J1939 pass entry changed nothing: its identifier still reaches nobody.
  a.Put(MsgJ1708Filter, {FilterOpPassAll, 0});
  Pass();
  a.TakeAll();
  adapter_.InjectJ1939(kChannelBit1, kFirst + kIdFilterEntries - 1, {1});
  adapter_.InjectJ1939(kChannelBit1, kFirst + kIdFilterEntries, {1});
  EXPECT_EQ(Ids(AwaitAdapterTraffic(adapter_, a), MsgJ1939Frame), (std::vector<uint32_t>{kFirst + kIdFilterEntries - 1}));
}

TEST_F(FilterServerTest, AJ1939EntryWithMaskBit31NeverPassesAPdu2FrameFromTheAdapter) {
  StartServer();
  TestClient pdu1Only, any;
  ASSERT_LT(pdu1Only.Slot(), any.Slot());  // frames are offered to the slots in order
  // Both pass source address 0x25; only the first entry carries bit 31.
  pdu1Only.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, kIdBit31 | 0xFF, 0x25));
  any.Put(MsgJ1939Filter, IdEdit(kChannelBit1, FilterOpPass, 0xFF, 0x25));
  Pass();
  pdu1Only.TakeAll();
  any.TakeAll();
  constexpr uint32_t kPdu1 = 0x18EF0025;       // PF 0xEF
  constexpr uint32_t kPdu2First = 0x18F00425;  // PF 0xF0
  constexpr uint32_t kPdu2 = 0x18FEF125;       // PF 0xFE
  for (uint32_t id : {kPdu2First, kPdu1, kPdu2}) adapter_.InjectJ1939(kChannelBit1, id, {1});
  // Each frame is offered to every client in turn, so once the last client has the last frame
  // the first client's share is settled.
  ASSERT_TRUE(WaitUntil([&] { return any.Received() >= 3; }));
  EXPECT_EQ(Ids(Records(any), MsgJ1939Frame), (std::vector<uint32_t>{kPdu2First, kPdu1, kPdu2}));
  EXPECT_EQ(Ids(Records(pdu1Only), MsgJ1939Frame), (std::vector<uint32_t>{kPdu1}));
}

}  // namespace
}  // namespace dral_test
