#include "channel/HuxIPC.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "classlib/exception.h"
#include "plat/shared_memory.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral {
namespace {

using dral_test::MsSince;
using dral_test::WaitUntil;
using std::chrono::steady_clock;

constexpr int kChildTimeoutMs = 25000;

HuxMessage MakeMessage(uint8_t type, uint16_t length, uint8_t seed = 0) {
  HuxMessage m{};
  m.Type = type;
  m.Length = length;
  for (uint16_t i = 0; i < length && i < kHuxMaxData; ++i) {
    m.Data[i] = static_cast<uint8_t>(seed + i * 7);
  }
  return m;
}

bool SameMessage(const HuxMessage& a, const HuxMessage& b) {
  return a.Length == b.Length && a.Type == b.Type && std::memcmp(a.Data, b.Data, a.Length) == 0;
}

// Whether a thread other than the caller could take the channel mutex right now.
bool OtherThreadCanLock(THuxQueue& q) {
  bool locked = false;
  std::thread t([&] {
    TChannelLock hold(q, 0);
    locked = hold.Owned();
  });
  t.join();
  return locked;
}

// Writes a raw record into the ring as a foreign writer would, bypassing Put's checks.
void WriteRawRecord(MessageRing& ring, uint16_t length, uint8_t type, uint16_t bytesWritten) {
  uint16_t w = ring.WriteIndex.load();
  auto put = [&](uint8_t b) {
    ring.Buffer[w] = b;
    w = static_cast<uint16_t>((w + 1) % kRingBufferSize);
  };
  put(static_cast<uint8_t>(length & 0xFF));
  put(static_cast<uint8_t>(length >> 8));
  put(type);
  for (uint16_t i = 3; i < bytesWritten; ++i) put(0xEE);
  ring.WriteIndex.store(w);
  ring.Count.store(static_cast<uint16_t>(ring.Count.load() + 1));
}

// Scratch memory shared by a test and its child processes.
struct Board {
  std::atomic<int32_t> Owner[kSlotCount];  // pid holding each slot, 0 = none
  std::atomic<int32_t> Taken[kSlotCount];  // how many children hold each slot now
  std::atomic<int32_t> Ready;
  std::atomic<int32_t> Conflicts;
  std::atomic<int32_t> Waiting;  // children at the start line
  std::atomic<int32_t> Go;
};

std::unique_ptr<plat::SharedMemory> OpenBoard() {
  int error = 0;
  auto mem = plat::SharedMemory::Open("Global\\ChannelTestBoard", sizeof(Board), &error);
  EXPECT_NE(mem, nullptr) << "errno " << error;
  return mem;
}

class ChannelTest : public dral_test::IsolatedTest {};

// ---------------------------------------------------------------------------------------------
// Rings

using MessageRingTest = ChannelTest;

TEST_F(MessageRingTest, EmptyRingHasNothingToPeekOrRemove) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  HuxMessage m = MakeMessage(0x55, 4);
  const HuxMessage before = m;
  EXPECT_FALSE(q.Peek(&ring, &m));
  EXPECT_TRUE(SameMessage(m, before));
  q.Remove(&ring);
  EXPECT_EQ(ring.ReadIndex.load(), 0);
  EXPECT_EQ(ring.WriteIndex.load(), 0);
  EXPECT_EQ(q.Count(&ring), 0);
  EXPECT_TRUE(OtherThreadCanLock(q)) << "an operation on an empty ring kept the mutex";
}

TEST_F(MessageRingTest, RecordsComeOutInOrderWithTheirTypeAndData) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToClient;
  const HuxMessage sent[] = {MakeMessage(MsgVersionRequest, 0), MakeMessage(MsgCanFrame, 13, 1),
                             MakeMessage(MsgJ1939Transport, kHuxMaxData, 2)};
  for (const HuxMessage& m : sent) ASSERT_TRUE(q.Put(&ring, &m));
  EXPECT_EQ(q.Count(&ring), 3);
  // A Length-0 record still takes three bytes.
  EXPECT_EQ(ring.WriteIndex.load(), 3 + (3 + 13) + (3 + kHuxMaxData));
  for (int i = 0; i < 3; ++i) {
    HuxMessage got{};
    ASSERT_TRUE(q.Peek(&ring, &got));
    EXPECT_TRUE(SameMessage(got, sent[i])) << "record " << i;
    EXPECT_EQ(q.Count(&ring), 3 - i) << "Peek removed a record";
    q.Remove(&ring);
  }
  EXPECT_EQ(q.Count(&ring), 0);
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());
}

// An empty ring takes 8191 record bytes (as one record, 8188 data bytes), never 8192.
TEST_F(MessageRingTest, OneByteAlwaysStaysFree) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  const HuxMessage full = MakeMessage(MsgJ1939Frame, kHuxMaxData);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.Put(&ring, &full));  // 3 x 2051 = 6153 bytes
  const uint16_t lastFits = kRingMaxRecordData - 3 * (kHuxRecordHeader + kHuxMaxData);
  const HuxMessage tooBig = MakeMessage(MsgJ1939Frame, lastFits + 1);
  EXPECT_FALSE(q.Put(&ring, &tooBig));
  EXPECT_EQ(ring.WriteIndex.load(), 3 * (kHuxRecordHeader + kHuxMaxData)) << "refused Put wrote";
  EXPECT_EQ(q.Count(&ring), 3);
  const HuxMessage fits = MakeMessage(MsgJ1939Frame, lastFits);
  EXPECT_TRUE(q.Put(&ring, &fits));
  const HuxMessage empty = MakeMessage(MsgVersionRequest, 0);
  EXPECT_FALSE(q.Put(&ring, &empty));
  EXPECT_EQ(ring.WriteIndex.load(), kRingBufferSize - 1);
  EXPECT_NE(ring.ReadIndex.load(), ring.WriteIndex.load()) << "a full ring looks empty";
  // Removing the first record makes room for it again.
  q.Remove(&ring);
  EXPECT_TRUE(q.Put(&ring, &full));
  EXPECT_EQ(q.Count(&ring), 4);
}

TEST_F(MessageRingTest, RecordThatStartsAtTheLastByteWrapsItsLength) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  ring.ReadIndex = kRingBufferSize - 1;
  ring.WriteIndex = kRingBufferSize - 1;
  const HuxMessage m = MakeMessage(MsgCanFrame, 0x105, 9);
  ASSERT_TRUE(q.Put(&ring, &m));
  EXPECT_EQ(ring.Buffer[kRingBufferSize - 1], 0x05);  // length low byte
  EXPECT_EQ(ring.Buffer[0], 0x01);                    // length high byte
  EXPECT_EQ(ring.Buffer[1], MsgCanFrame);
  EXPECT_EQ(ring.Buffer[2], m.Data[0]);
  const uint16_t end = (kRingBufferSize - 1 + 3 + 0x105) % kRingBufferSize;
  EXPECT_EQ(ring.WriteIndex.load(), end);
  HuxMessage got{};
  ASSERT_TRUE(q.Peek(&ring, &got));
  EXPECT_TRUE(SameMessage(got, m));
  q.Remove(&ring);
  EXPECT_EQ(ring.ReadIndex.load(), end);
  EXPECT_EQ(q.Count(&ring), 0);
}

TEST_F(MessageRingTest, RecordsSurviveAWrapAtEveryByteOfTheirFraming) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToClient;
  for (uint16_t start = kRingBufferSize - 12; start < kRingBufferSize; ++start) {
    ring.ReadIndex = start;
    ring.WriteIndex = start;
    const HuxMessage m = MakeMessage(MsgJ1708Frame, 8, static_cast<uint8_t>(start));
    const HuxMessage n = MakeMessage(MsgJ1939Frame, 3, static_cast<uint8_t>(start + 1));
    ASSERT_TRUE(q.Put(&ring, &m));
    ASSERT_TRUE(q.Put(&ring, &n));
    HuxMessage got{};
    ASSERT_TRUE(q.Peek(&ring, &got));
    EXPECT_TRUE(SameMessage(got, m)) << "start " << start;
    q.Remove(&ring);
    ASSERT_TRUE(q.Peek(&ring, &got));
    EXPECT_TRUE(SameMessage(got, n)) << "start " << start;
    q.Remove(&ring);
    EXPECT_EQ(ring.ReadIndex.load(), (start + 11 + 6) % kRingBufferSize);
    EXPECT_EQ(q.Count(&ring), 0);
  }
}

TEST_F(MessageRingTest, MissingArgumentsAndOverlongMessagesAreRefused) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  const HuxMessage m = MakeMessage(MsgCanFrame, 5);
  HuxMessage got{};
  EXPECT_FALSE(q.Put(nullptr, &m));
  EXPECT_FALSE(q.Put(&ring, nullptr));
  EXPECT_FALSE(q.Peek(nullptr, &got));
  EXPECT_EQ(q.Count(nullptr), 0);
  q.Remove(nullptr);
  // A Length beyond the HuxMessage's data would read past the caller's record.
  HuxMessage overlong = MakeMessage(MsgCanFrame, kHuxMaxData);
  overlong.Length = kHuxMaxData + 1;
  EXPECT_FALSE(q.Put(&ring, &overlong));
  ASSERT_TRUE(q.Put(&ring, &m));
  EXPECT_FALSE(q.Peek(&ring, nullptr));
  EXPECT_EQ(q.Count(&ring), 1);
  EXPECT_EQ(ring.WriteIndex.load(), 3 + 5);
}

TEST_F(MessageRingTest, PeekDropsARecordLongerThanAHuxMessageAndReturnsTheNext) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  constexpr uint16_t kLong = 3000;
  WriteRawRecord(ring, kLong, MsgJ1939Frame, kHuxRecordHeader + kLong);
  const HuxMessage next = MakeMessage(MsgCanFrame, 6, 3);
  ASSERT_TRUE(q.Put(&ring, &next));
  struct {
    HuxMessage Message;
    uint8_t Canary[1024];
  } out;
  std::memset(&out, 0xA5, sizeof out);
  ASSERT_TRUE(q.Peek(&ring, &out.Message));
  EXPECT_TRUE(SameMessage(out.Message, next));
  for (uint8_t b : out.Canary) ASSERT_EQ(b, 0xA5) << "Peek wrote past the HuxMessage";
  EXPECT_EQ(q.Count(&ring), 1);
  q.Remove(&ring);
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());

  // The same when the long record is the only one: the ring ends up empty, not stuck.
  WriteRawRecord(ring, kLong, MsgJ1939Frame, kHuxRecordHeader + kLong);
  EXPECT_FALSE(q.Peek(&ring, &out.Message));
  EXPECT_EQ(q.Count(&ring), 0);
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());
}

TEST_F(MessageRingTest, ALengthThatRunsPastTheWrittenBytesEmptiesTheRing) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToClient;
  WriteRawRecord(ring, 100, MsgCanFrame, 10);  // claims 103 bytes, 10 written
  HuxMessage got{};
  EXPECT_FALSE(q.Peek(&ring, &got));
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());
  EXPECT_EQ(q.Count(&ring), 0);
  WriteRawRecord(ring, 100, MsgCanFrame, 10);
  q.Remove(&ring);
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load()) << "Remove jumped past WriteIndex";
  const HuxMessage m = MakeMessage(MsgCanFrame, 4);
  ASSERT_TRUE(q.Put(&ring, &m));
  ASSERT_TRUE(q.Peek(&ring, &got));
  EXPECT_TRUE(SameMessage(got, m));
}

// The block's bytes outside [skip, skip + skipSize), to see what an operation wrote elsewhere.
std::vector<uint8_t> BytesOutside(const ChannelBlock& block, const void* skip, size_t skipSize) {
  const auto* base = reinterpret_cast<const uint8_t*>(&block);
  const auto* from = static_cast<const uint8_t*>(skip);
  std::vector<uint8_t> bytes(base, from);
  bytes.insert(bytes.end(), from + skipSize, base + sizeof(ChannelBlock));
  return bytes;
}

TEST_F(MessageRingTest, IndicesOutsideTheBufferAreADamagedRingThatEveryOperationEmpties) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToClient;  // its J1939 filters follow it
  const HuxMessage longest = MakeMessage(MsgCanFrame, kHuxMaxData, 9);
  const std::vector<std::function<void()>> operations = {
      [&] { EXPECT_TRUE(q.Put(&ring, &longest)) << "the emptied ring has room"; },
      [&] {
        HuxMessage got{};
        EXPECT_FALSE(q.Peek(&ring, &got));
      },
      [&] { q.Remove(&ring); },
      [&] { EXPECT_EQ(q.Count(&ring), 0); },
      [&] {
        TChannelLock hold(q, kChannelLockTimeoutMs);
        ASSERT_TRUE(hold.Owned());
        RepairBlockLocked(*q.Block());
      },
  };
  const std::pair<uint16_t, uint16_t> damages[] = {
      {0, 8200}, {0, 0xFFF0}, {0xC864, 0xC864}, {kRingBufferSize, 0}, {0xFFF0, 12}};
  for (const auto& [read, write] : damages) {
    for (size_t op = 0; op < operations.size(); ++op) {
      SCOPED_TRACE("ReadIndex " + std::to_string(read) + ", WriteIndex " + std::to_string(write) +
                   ", operation " + std::to_string(op));
      ring.ReadIndex = read;
      ring.WriteIndex = write;
      ring.Count = 1;
      const auto elsewhere = BytesOutside(*q.Block(), &ring, sizeof ring);
      operations[op]();
      EXPECT_EQ(BytesOutside(*q.Block(), &ring, sizeof ring), elsewhere) << "wrote outside";
      EXPECT_LT(ring.ReadIndex.load(), kRingBufferSize);
      EXPECT_LT(ring.WriteIndex.load(), kRingBufferSize);
      HuxMessage got{};
      if (op != 0) {
        EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load()) << "not emptied";
        ASSERT_TRUE(q.Put(&ring, &longest));
      }
      ASSERT_TRUE(q.Peek(&ring, &got));
      EXPECT_TRUE(SameMessage(got, longest));
      q.Remove(&ring);
      EXPECT_EQ(q.Count(&ring), 0);
    }
  }
}

TEST_F(MessageRingTest, ACountThatContradictsTheRecordsHeldEmptiesTheRing) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  const HuxMessage m = MakeMessage(MsgCanFrame, 4, 1);
  HuxMessage got{};
  const auto twoRecordsCounted = [&](uint16_t count) {
    ASSERT_TRUE(q.Put(&ring, &m));
    ASSERT_TRUE(q.Put(&ring, &m));
    ring.Count = count;
  };
  twoRecordsCounted(0);  // records, but no count
  EXPECT_FALSE(q.Peek(&ring, &got));
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());
  twoRecordsCounted(3);  // more records counted than held: only a walk sees it
  EXPECT_EQ(q.Count(&ring), 0);
  EXPECT_EQ(ring.ReadIndex.load(), ring.WriteIndex.load());
  twoRecordsCounted(0xFFFF);  // would wrap to 0 at the next Put
  ASSERT_TRUE(q.Put(&ring, &m));
  EXPECT_EQ(q.Count(&ring), 1);
  ring.Count = 2;  // one record counted twice: the Remove that empties the ring leaves 1
  q.Remove(&ring);
  q.Remove(&ring);
  EXPECT_EQ(ring.Count.load(), 0);
  ASSERT_TRUE(q.Put(&ring, &m));
  ASSERT_TRUE(q.Peek(&ring, &got));
  EXPECT_TRUE(SameMessage(got, m));
}

TEST_F(MessageRingTest, OperationsFailWhenTheMutexStaysTakenForTheLockTimeout) {
  THuxQueue q(true);
  MessageRing& ring = q.Slot(q.SlotIndex())->ToServer;
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    TChannelLock hold(q, 1000);
    if (!hold.Owned()) return;
    holding = true;
    WaitUntil([&] { return release.load(); }, 10000);
  });
  ASSERT_TRUE(WaitUntil([&] { return holding.load(); }, 5000));
  const HuxMessage m = MakeMessage(MsgCanFrame, 4);
  const auto start = steady_clock::now();
  EXPECT_FALSE(q.Put(&ring, &m));
  const double elapsed = MsSince(start);
  release = true;
  holder.join();
  EXPECT_GE(elapsed, 950.0);
  EXPECT_LT(elapsed, 3000.0);
  EXPECT_EQ(ring.WriteIndex.load(), 0);
  EXPECT_TRUE(q.Put(&ring, &m));
}

// ---------------------------------------------------------------------------------------------
// Block, slots and the probe

TEST_F(ChannelTest, CreatorInitialisesTheBlockAndASecondOpenerDoesNot) {
  THuxQueue first(true);
  ASSERT_TRUE(first.Mem().Created());
  ChannelBlock& b = *first.Block();
  EXPECT_EQ(b.Header.ServerWindow.load(), 0u);
  EXPECT_EQ(b.Header.LinkState.load(), LinkNoServer);
  for (auto& v : b.Header.AdapterVersion) EXPECT_EQ(v.load(), 0xFF);
  EXPECT_EQ(b.Header.SlotMask.load(), 1);
  for (int n = 1; n < kSlotCount; ++n) {
    EXPECT_EQ(b.Slots[n].SlotId.load(), kFreeSlot) << n;
    for (auto& c : b.Slots[n].Claimed) {
      EXPECT_EQ(c.Address.load(), kNoAddress);
      for (auto& x : c.Name) EXPECT_EQ(x.load(), kNoNameByte);
    }
  }
  const HuxMessage m = MakeMessage(MsgCanFrame, 8);
  ASSERT_TRUE(first.Put(&b.Slots[0].ToServer, &m));
  b.Header.LinkState = LinkConnected;
  b.Slots[5].Claimed[1].Address = 0x21;

  THuxQueue second(true);
  EXPECT_FALSE(second.Mem().Created());
  EXPECT_EQ(second.SlotIndex(), 1);
  ChannelBlock& b2 = *second.Block();
  EXPECT_EQ(b2.Header.LinkState.load(), LinkConnected);
  EXPECT_EQ(b2.Slots[5].Claimed[1].Address.load(), 0x21);
  EXPECT_EQ(b2.Header.SlotMask.load(), 3);
  EXPECT_EQ(second.Count(&b2.Slots[0].ToServer), 1);
}

TEST_F(ChannelTest, SixteenQueuesTakeTheSlotsInOrderAndAFreedSlotIsGivenOutAgain) {
  std::vector<std::unique_ptr<THuxQueue>> queues;
  for (int n = 0; n < kSlotCount; ++n) {
    queues.push_back(std::make_unique<THuxQueue>(true));
    ASSERT_EQ(queues.back()->SlotIndex(), n);
    EXPECT_EQ(queues.back()->Block()->Slots[n].SlotId.load(), n);
    EXPECT_NE(queues.back()->ClientEvent(), nullptr);
  }
  THuxQueue seventeenth(true);
  EXPECT_EQ(seventeenth.SlotIndex(), kFreeSlot);
  EXPECT_EQ(seventeenth.ClientEvent(), nullptr);
  EXPECT_EQ(seventeenth.Slot(-1), nullptr);
  EXPECT_EQ(seventeenth.Slot(kSlotCount), nullptr);

  // Leave traces in slot 3 that its release must clear, and some it must keep.
  ChannelBlock& b = *seventeenth.Block();
  ClientSlot& s3 = b.Slots[3];
  const HuxMessage m = MakeMessage(MsgCanFrame, 4);
  ASSERT_TRUE(queues[3]->Put(&s3.ToServer, &m));
  ASSERT_TRUE(queues[3]->Put(&s3.ToClient, &m));
  s3.J1939Filter[1].Mode = FilterBlockListed;
  s3.J1939Filter[1].Count = 2;
  s3.J1708Filter.Count = 7;
  s3.CanFilter[0].Count = 5;
  s3.Claimed[0].Address = 0x80;

  queues[3].reset();
  EXPECT_EQ(b.Header.SlotMask.load(), 0xFFFF & ~(1 << 3));
  EXPECT_EQ(s3.SlotId.load(), kFreeSlot);
  EXPECT_EQ(s3.ToServer.WriteIndex.load(), 0);
  EXPECT_EQ(s3.ToClient.Count.load(), 0);
  EXPECT_EQ(s3.J1939Filter[1].Mode.load(), 0);
  EXPECT_EQ(s3.J1939Filter[1].Count.load(), 0);
  EXPECT_EQ(s3.J1708Filter.Count.load(), 0);
  EXPECT_EQ(s3.CanFilter[0].Count.load(), 5) << "CAN filters belong to the server";
  EXPECT_EQ(s3.Claimed[0].Address.load(), 0x80) << "claimed addresses belong to the library";

  THuxQueue again(true);
  EXPECT_EQ(again.SlotIndex(), 3);
  EXPECT_EQ(b.Header.SlotMask.load(), 0xFFFF);
  EXPECT_EQ(s3.Claimed[0].Address.load(), kNoAddress) << "the next holder holds no address";
}

TEST_F(ChannelTest, ATakenSlotStartsWithEmptyFilterTables) {
  THuxQueue observer(false, 0);
  ChannelBlock& b = *observer.Block();
  auto fill = [](IdFilterTable& table, uint8_t mode, uint16_t count) {
    table.Mode = mode;
    table.Count = count;
    for (uint16_t i = 0; i < count; ++i) {
      table.Entries[i].Mask = 0x9FFFFFFFu;
      table.Entries[i].Value = 0x80000000u | i;
    }
  };
  auto old = std::make_unique<THuxQueue>(true);
  const int n = old->SlotIndex();
  ASSERT_GE(n, 0);
  ClientSlot& s = b.Slots[n];
  // The old holder's CAN filters: a pass list on channel 1, a block list on channel 2 (which
  // would pass every other frame to whoever holds the slot next).
  fill(s.CanFilter[0], FilterPassListed, 3);
  fill(s.CanFilter[1], FilterBlockListed, 2);
  old.reset();
  ASSERT_EQ(s.CanFilter[1].Count.load(), 2) << "the release is expected to keep the CAN tables";
  // Tables that the release clears, written again while the slot is free (an edit of the old
  // holder that the server finished after the release).
  fill(s.J1939Filter[0], FilterPassListed, 4);
  fill(s.J1939Filter[1], FilterBlockListed, 1);
  s.J1708Filter.Mode = FilterBlockListed;
  s.J1708Filter.Count = 2;

  THuxQueue next(true);
  ASSERT_EQ(next.SlotIndex(), n);
  for (int ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    EXPECT_EQ(s.CanFilter[ch].Mode.load(), FilterPassListed);
    EXPECT_EQ(s.CanFilter[ch].Count.load(), 0);
    EXPECT_EQ(s.J1939Filter[ch].Mode.load(), FilterPassListed);
    EXPECT_EQ(s.J1939Filter[ch].Count.load(), 0);
  }
  EXPECT_EQ(s.J1708Filter.Mode.load(), FilterPassListed);
  EXPECT_EQ(s.J1708Filter.Count.load(), 0);
}

TEST_F(ChannelTest, ProbeSeesOnlyAServerThatHoldsTheChannel) {
  uint32_t window = 12345;
  EXPECT_FALSE(IsServerRunning(window));
  EXPECT_EQ(window, 0u);
  {
    THuxQueue client(true);
    EXPECT_TRUE(client.Mem().Created()) << "the probe left a block behind";
    EXPECT_FALSE(IsServerRunning(window));
    {
      // A server-mode queue alone is no server; the claim is.
      THuxQueue queue(false);
      EXPECT_FALSE(IsServerRunning(window));
      const auto claim = TServerLock::Claim();
      ASSERT_NE(claim, nullptr);
      EXPECT_TRUE(IsServerRunning(window));
      EXPECT_EQ(window, OwnServerWindow());
      EXPECT_TRUE(IsServerAlive());
      EXPECT_EQ(TServerLock::Claim(), nullptr) << "a second claim in the same process";
    }
    EXPECT_FALSE(IsServerRunning(window));
    EXPECT_EQ(window, 0u);
    // A server id left in the header is not a server.
    client.Block()->Header.ServerWindow.store(OwnServerWindow());
    EXPECT_FALSE(IsServerRunning(window));
    EXPECT_FALSE(IsServerAlive());
  }
  EXPECT_FALSE(IsServerRunning(window));
}

TEST_F(ChannelTest, AClaimDropsRequestsThatWaitedForNoServerButNotLaterOnes) {
  THuxQueue client(true);
  ClientSlot& slot = *client.Slot(client.SlotIndex());
  const HuxMessage stale = MakeMessage(MsgCanFrame, 9, 1);
  ASSERT_TRUE(client.Put(&slot.ToServer, &stale));
  ASSERT_TRUE(client.Put(&slot.ToServer, &stale));

  const auto claim = TServerLock::Claim();
  ASSERT_NE(claim, nullptr);
  EXPECT_EQ(client.Count(&slot.ToServer), 0);
  const HuxMessage fresh = MakeMessage(MsgCanFrame, 9, 2);
  ASSERT_TRUE(client.Put(&slot.ToServer, &fresh));
  HuxMessage got{};
  ASSERT_TRUE(client.Peek(&slot.ToServer, &got));
  EXPECT_TRUE(SameMessage(got, fresh));
}

TEST_F(ChannelTest, MappingFailuresRaiseTheMessageOrTheSilentAbort) {
  try {
    TIPCMem mem("DRAL_Test", 0);
    ADD_FAILURE() << "a mapping of 0 bytes was made";
  } catch (const cls::Exception& e) {
    EXPECT_EQ(e.Message(), "Error creating shared memory DRAL_Test (22)");
  }
  // A namespace that makes every object name too long: nothing can be opened.
  setenv("DRAL_IPC_NAMESPACE", std::string(300, 'n').c_str(), 1);
  EXPECT_THROW(THuxQueue(true), cls::EAbort);
  uint32_t window = 0;
  try {
    IsServerRunning(window);
    ADD_FAILURE() << "the probe hid the failure";
  } catch (const cls::EAbort&) {
    ADD_FAILURE() << "the probe must pass the message on";
  } catch (const cls::Exception& e) {
    EXPECT_NE(e.Message().find("Error creating shared memory DRAL_Driver ("), std::string::npos);
  }
  setenv("DRAL_IPC_NAMESPACE", env_.Namespace().c_str(), 1);
}

// ---------------------------------------------------------------------------------------------
// Attach count

TEST_F(ChannelTest, AttachCountNeverGoesBelowZeroAndMakesNoBlockOfItsOwn) {
  EXPECT_FALSE(AdjustAttachCount(+1)) << "counted in a block that did not exist";
  EXPECT_FALSE(AdjustAttachCount(-1));
  THuxQueue client(true);
  EXPECT_TRUE(client.Mem().Created()) << "a block was left behind";
  auto& count = client.Block()->Header.AttachCount;
  EXPECT_EQ(count.load(), 0);

  EXPECT_TRUE(AdjustAttachCount(-1));
  EXPECT_EQ(count.load(), 0) << "a step below 0 wrapped";
  constexpr int kThreads = 4;
  constexpr int kSteps = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kSteps; ++i) AdjustAttachCount(+1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(count.load(), kThreads * kSteps) << "concurrent steps were lost";
  auto& serial = client.Block()->Header.AttachSerial;
  EXPECT_EQ(serial.load(), kThreads * kSteps) << "every attach advances the serial";
  for (int i = 0; i < kThreads * kSteps + 3; ++i) AdjustAttachCount(-1);
  EXPECT_EQ(count.load(), 0);
  EXPECT_EQ(serial.load(), kThreads * kSteps) << "a detach never lowers the serial";
}

TEST_F(ChannelTest, AProcessCountIsMadeOnceInAnExistingBlockAndTakenBackFromThatBlock) {
  TAttachCount process;
  EXPECT_FALSE(process.Attach()) << "counted without a block";
  EXPECT_FALSE(process.Attached());
  {
    THuxQueue first(true);
    ASSERT_TRUE(first.Mem().Created()) << "a block was left behind";
    EXPECT_TRUE(process.Attach());
    EXPECT_TRUE(process.Attach());
    EXPECT_EQ(first.Block()->Header.AttachCount.load(), 1) << "one process counted twice";
  }
  // The only queue has gone; the block that holds the count must not have.
  THuxQueue next(true);
  EXPECT_FALSE(next.Mem().Created()) << "the block ended with the count in it";
  auto& count = next.Block()->Header.AttachCount;
  EXPECT_EQ(count.load(), 1);

  TAttachCount never;  // a process that loaded while there was no block
  never.Detach();
  EXPECT_EQ(count.load(), 1) << "a process that was never counted lowered the count";

  ASSERT_TRUE(AdjustAttachCount(+1));  // another process
  process.Detach();
  EXPECT_EQ(count.load(), 1);
  EXPECT_FALSE(process.Attached());
  process.Detach();
  EXPECT_EQ(count.load(), 1) << "taken back twice";
  EXPECT_FALSE(process.Attach()) << "counted after the unload";
  EXPECT_EQ(count.load(), 1);
}

// ---------------------------------------------------------------------------------------------
// Several processes

using ChannelProcessTest = ChannelTest;

constexpr int kAllocatorChildren = 4;
constexpr int kAllocatorRounds = 1500;
constexpr double kAllocatorMaxMs = 5000;  // a loaded machine ends the rounds early

// Child: takes and frees slots as fast as it can and reports any slot it finds taken by
// another child.
void RunAllocator(Board& board) {
  const int32_t me = static_cast<int32_t>(getpid());
  const auto start = steady_clock::now();
  for (int round = 0; round < kAllocatorRounds && MsSince(start) < kAllocatorMaxMs; ++round) {
    THuxQueue q(true);
    const int n = q.SlotIndex();
    if (n < 0) continue;  // all free slots taken by the others just now
    int32_t expected = 0;
    if (!board.Owner[n].compare_exchange_strong(expected, me)) board.Conflicts++;
    {
      TChannelLock hold(q, 1000);
      if (hold.Owned() && (q.Block()->Slots[n].SlotId.load() != n ||
                           !(q.Block()->Header.SlotMask.load() & (1 << n)))) {
        board.Conflicts++;
      }
    }
    expected = me;
    board.Owner[n].compare_exchange_strong(expected, 0);
  }
}

TEST_F(ChannelProcessTest, ProcessesTakingAndFreeingSlotsNeverShareOne) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "allocator") {
    RunAllocator(board);
    return;
  }
  // Leave three slots for four children, so they also contend for the last free one.
  std::vector<std::unique_ptr<THuxQueue>> held;
  for (int n = 0; n < kSlotCount - 3; ++n) held.push_back(std::make_unique<THuxQueue>(true));
  std::vector<pid_t> children;
  for (int i = 0; i < kAllocatorChildren; ++i) {
    children.push_back(dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "allocator"));
    ASSERT_GT(children.back(), 0);
  }
  for (pid_t pid : children) EXPECT_EQ(dral_test::WaitChild(pid, kChildTimeoutMs), 0);
  EXPECT_EQ(board.Conflicts.load(), 0);
  EXPECT_EQ(held[0]->Block()->Header.SlotMask.load(), (1 << (kSlotCount - 3)) - 1);
}

constexpr int kOpeners = 6;

// Child: waits for the start, opens one queue, records its slot, and keeps it until every
// opener has one.
void RunOpener(Board& board) {
  board.Waiting++;
  const auto limit = steady_clock::now() + std::chrono::seconds(15);
  while (board.Go.load() == 0 && steady_clock::now() < limit) std::this_thread::yield();
  THuxQueue q(true);
  ASSERT_GE(q.SlotIndex(), 0);
  board.Taken[q.SlotIndex()]++;
  board.Ready++;
  ASSERT_TRUE(WaitUntil([&] { return board.Ready.load() >= kOpeners; }, 15000));
}

TEST_F(ChannelProcessTest, ProcessesOpeningAFreshBlockAtOnceGetDistinctSlots) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "opener") {
    RunOpener(board);
    return;
  }
  for (int run = 0; run < 3; ++run) {
    for (auto& t : board.Taken) t = 0;
    board.Ready = 0;
    board.Waiting = 0;
    board.Go = 0;
    std::vector<pid_t> children;
    for (int i = 0; i < kOpeners; ++i) {
      children.push_back(dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "opener"));
      ASSERT_GT(children.back(), 0);
    }
    EXPECT_TRUE(WaitUntil([&] { return board.Waiting.load() == kOpeners; }, 15000));
    board.Go = 1;
    for (pid_t pid : children) EXPECT_EQ(dral_test::WaitChild(pid, kChildTimeoutMs), 0);
    int total = 0;
    for (int n = 0; n < kSlotCount; ++n) {
      EXPECT_LE(board.Taken[n].load(), 1) << "slot " << n << " in run " << run;
      total += board.Taken[n].load();
    }
    EXPECT_EQ(total, kOpeners);
    uint32_t window = 0;
    EXPECT_FALSE(IsServerRunning(window));
  }
}

// Starts this test again as a child in `role`, waits until it reports Ready, kills it with
// SIGKILL and reaps it. True when it was ready.
bool KillWhenReady(Board& board, const char* role) {
  board.Ready = 0;
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), role);
  if (child <= 0) return false;
  const bool ready = WaitUntil([&] { return board.Ready.load() == 1; }, 15000);
  kill(child, SIGKILL);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 128 + SIGKILL);
  return ready;
}

// Child: puts two records, then, inside the lock, leaves the traces of an operation cut short
// and waits to be killed.
void RunDyingHolder(Board& board) {
  THuxQueue q(true);
  ASSERT_EQ(q.SlotIndex(), 0);
  ClientSlot& s0 = *q.Slot(0);
  const HuxMessage m = MakeMessage(MsgCanFrame, 4);
  ASSERT_TRUE(q.Put(&s0.ToServer, &m));
  ASSERT_TRUE(q.Put(&s0.ToServer, &m));
  ASSERT_TRUE(q.Put(&s0.ToClient, &m));
  TChannelLock hold(q, 1000);
  ASSERT_TRUE(hold.Owned());
  s0.ToServer.Count = 7;                 // a Put or Remove cut before its last step
  s0.ToClient.Count = 0;                 // in either ring
  q.Block()->Header.SlotMask |= 1 << 9;  // slot 9 taken, but its SlotId never written
  board.Ready = 1;
  std::this_thread::sleep_for(std::chrono::seconds(20));
}

TEST_F(ChannelProcessTest, AProcessKilledInsideTheLockBlocksNobody) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "holder") {
    RunDyingHolder(board);
    return;
  }
  THuxQueue server(false);
  ASSERT_TRUE(KillWhenReady(board, "holder"));

  ChannelBlock& b = *server.Block();
  {
    const auto start = steady_clock::now();
    TChannelLock hold(server, kChannelLockTimeoutMs);
    ASSERT_TRUE(hold.Owned());
    EXPECT_LT(MsSince(start), 500.0);
    EXPECT_EQ(b.Slots[0].ToServer.Count.load(), 2) << "ring count not repaired";
    EXPECT_EQ(b.Slots[0].ToClient.Count.load(), 1) << "ring count not repaired";
    EXPECT_EQ(b.Header.SlotMask.load(), 1) << "half-taken slot 9 not freed";
  }
  EXPECT_TRUE(OtherThreadCanLock(server)) << "the mutex did not become consistent";
  HuxMessage got{};
  EXPECT_TRUE(server.Peek(&b.Slots[0].ToServer, &got));
  THuxQueue next(true);
  EXPECT_EQ(next.SlotIndex(), 0);  // the dead client's slot is taken over
}

TEST_F(ChannelProcessTest, AttachCountRepairsTheBlockWhenItsHolderDiedInsideTheLock) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "holder") {
    RunDyingHolder(board);
    return;
  }
  THuxQueue server(false);
  ASSERT_TRUE(KillWhenReady(board, "holder"));

  EXPECT_TRUE(AdjustAttachCount(+1));
  ChannelBlock& b = *server.Block();
  EXPECT_EQ(b.Header.AttachCount.load(), 1);
  EXPECT_EQ(b.Slots[0].ToServer.Count.load(), 2) << "ring count not repaired";
  EXPECT_EQ(b.Slots[0].ToClient.Count.load(), 1) << "ring count not repaired";
  EXPECT_EQ(b.Header.SlotMask.load(), 1) << "half-taken slot 9 not freed";
  EXPECT_TRUE(OtherThreadCanLock(server)) << "the mutex was left owned";
}

// ---- Dead holders -------------------------------------------------------------------------

// One more than there are slots: without the reclaim the last one would find none.
constexpr int kDeadApplications = kSlotCount + 1;

// Child: claims the channel as the server does, reports, and waits to be killed.
void RunClaimingServer(Board& board) {
  const auto claim = TServerLock::Claim();
  ASSERT_NE(claim, nullptr);
  board.Ready = 1;
  std::this_thread::sleep_for(std::chrono::seconds(20));
}

TEST_F(ChannelProcessTest, AKilledServersClaimIsFreeAtOnce) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "server") {
    RunClaimingServer(board);
    return;
  }
  THuxQueue client(true);
  client.Block()->Header.LinkState.store(LinkConnected);
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "server");
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([&] { return board.Ready.load() == 1; }, 15000));
  uint32_t window = 0;
  EXPECT_TRUE(IsServerRunning(window));
  EXPECT_EQ(window, static_cast<uint32_t>(child));
  EXPECT_EQ(TServerLock::Claim(), nullptr);

  kill(child, SIGKILL);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 128 + SIGKILL);
  // Its id is still in the header, and no new process may have taken it: the lock decides.
  EXPECT_EQ(client.Block()->Header.ServerWindow.load(), static_cast<uint32_t>(child));
  EXPECT_FALSE(IsServerRunning(window));
  EXPECT_FALSE(IsServerAlive());
  EXPECT_NE(TServerLock::Claim(), nullptr);
}

// Child: connects (a slot with filters, a claimed address, a request waiting) and counts
// itself as a process with the library loaded, reports, and waits to be killed.
void RunDyingApplication(Board& board) {
  THuxQueue q(true);
  ASSERT_GE(q.SlotIndex(), 0);
  TAttachCount count;
  ASSERT_TRUE(count.Attach());
  ClientSlot& s = *q.Slot(q.SlotIndex());
  s.CanFilter[0].Mode = FilterBlockListed;
  s.J1939Filter[1].Count = 3;
  s.Claimed[0].Address = 0x21;
  const HuxMessage m = MakeMessage(MsgCanFrame, 9);
  ASSERT_TRUE(q.Put(&s.ToServer, &m));
  ASSERT_TRUE(q.Put(&s.ToClient, &m));
  board.Ready++;
  std::this_thread::sleep_for(std::chrono::seconds(20));
}

// Checks that a slot holds nothing of what a dying application (RunDyingApplication) left.
void ExpectNothingOfTheDeadHolder(const ClientSlot& s) {
  EXPECT_EQ(s.ToServer.Count.load(), 0);
  EXPECT_EQ(s.ToServer.ReadIndex.load(), s.ToServer.WriteIndex.load());
  EXPECT_EQ(s.ToClient.Count.load(), 0);
  EXPECT_EQ(s.ToClient.ReadIndex.load(), s.ToClient.WriteIndex.load());
  EXPECT_EQ(s.CanFilter[0].Mode.load(), FilterPassListed);
  EXPECT_EQ(s.J1939Filter[1].Count.load(), 0);
  EXPECT_EQ(s.Claimed[0].Address.load(), kNoAddress);
}

TEST_F(ChannelProcessTest, SlotsAndAttachCountsOfKilledApplicationsAreGivenBack) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "application") {
    RunDyingApplication(board);
    return;
  }
  THuxQueue server(false);
  ChannelBlock& b = *server.Block();
  THuxQueue live(true);  // a live application: its slot and count stay
  TAttachCount liveCount;
  ASSERT_TRUE(liveCount.Attach());
  ASSERT_EQ(live.SlotIndex(), 0);

  for (int i = 0; i < kDeadApplications; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(KillWhenReady(board, "application"));
    EXPECT_EQ(b.Header.AttachCount.load(), 2);
    EXPECT_EQ(b.Header.SlotMask.load(), 0b11);

    EXPECT_EQ(server.TakeBackDeadAttachCounts(), 1);
    EXPECT_EQ(server.FreeDeadSlots(), 0b10);
    EXPECT_EQ(b.Header.AttachCount.load(), 1);
    EXPECT_EQ(b.Header.SlotMask.load(), 0b01);
    EXPECT_EQ(b.Slots[1].SlotId.load(), kFreeSlot);
    ExpectNothingOfTheDeadHolder(b.Slots[1]);
  }
  // Nothing more to take back, and the live application keeps what it has.
  EXPECT_EQ(server.TakeBackDeadAttachCounts(), 0);
  EXPECT_EQ(server.FreeDeadSlots(), 0);
  EXPECT_EQ(b.Header.AttachCount.load(), 1);
  liveCount.Detach();
  EXPECT_EQ(b.Header.AttachCount.load(), 0);
  EXPECT_EQ(server.TakeBackDeadAttachCounts(), 0);
  EXPECT_EQ(b.Header.AttachCount.load(), 0) << "a share taken back twice";
}

TEST_F(ChannelProcessTest, AConnectTakesOverTheSlotOfADeadHolderWithoutWaitingForTheServer) {
  auto boardMem = OpenBoard();
  ASSERT_NE(boardMem, nullptr);
  Board& board = *static_cast<Board*>(boardMem->View());
  if (dral_test::Role() == "application") {
    RunDyingApplication(board);
    return;
  }
  THuxQueue view(false);  // keeps the block while its holders die
  ChannelBlock& b = *view.Block();
  // Every slot held, then every holder killed; no reclaim runs in between.
  board.Ready = 0;
  std::vector<pid_t> children;
  for (int i = 0; i < kSlotCount; ++i) {
    children.push_back(dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "application"));
    ASSERT_GT(children.back(), 0);
  }
  const bool ready = WaitUntil([&] { return board.Ready.load() == kSlotCount; }, 15000);
  for (pid_t pid : children) kill(pid, SIGKILL);
  for (pid_t pid : children) EXPECT_EQ(dral_test::WaitChild(pid, kChildTimeoutMs), 128 + SIGKILL);
  ASSERT_TRUE(ready);
  ASSERT_EQ(b.Header.SlotMask.load(), 0xFFFF);
  const uint16_t serial0 = b.Slots[0].TakeSerial.load();
  const uint16_t serial1 = b.Slots[1].TakeSerial.load();

  THuxQueue next(true);
  ASSERT_EQ(next.SlotIndex(), 0);
  EXPECT_EQ(b.Slots[0].SlotId.load(), 0);
  EXPECT_EQ(b.Slots[0].TakeSerial.load(), static_cast<uint16_t>(serial0 + 1));
  ExpectNothingOfTheDeadHolder(b.Slots[0]);
  THuxQueue another(true);
  ASSERT_EQ(another.SlotIndex(), 1);
  EXPECT_EQ(b.Slots[1].TakeSerial.load(), static_cast<uint16_t>(serial1 + 1));
  ExpectNothingOfTheDeadHolder(b.Slots[1]);
  EXPECT_EQ(b.Header.SlotMask.load(), 0xFFFF);
  // The slots the two took over are theirs now: the reclaim leaves them alone.
  EXPECT_EQ(view.FreeDeadSlots(), 0xFFFC);
  EXPECT_EQ(b.Header.SlotMask.load(), 0b11);
}

}  // namespace
}  // namespace dral
