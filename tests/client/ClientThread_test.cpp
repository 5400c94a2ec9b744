#include "client/ClientThread.h"

#include <gtest/gtest.h>

#include <vector>

#include "../server/ServerTestFixture.h"
#include "client/ClientObj.h"
#include "client_test_util.h"
#include "testsupport/test_env.h"

namespace {

using dral::HuxMessage;
using dral_test::MakeMessage;

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

dral::QueuedMessage Queued(const std::vector<uint8_t>& bytes) {
  return dral::MakeQueuedMessage(bytes.data(), static_cast<uint16_t>(bytes.size()), 0);
}

// Connections of the client core to a real server, the adapter simulator behind it; the
// server's wait thread runs the passes, so filter requests get their replies.
class ReceiveThroughServerTest : public dral_test::ServerTest {
 protected:
  // The next message of `c` that is not a filter-edit reply; empty after 5 s.
  static std::vector<uint8_t> NextMessage(dral::TDralClient& c) {
    uint8_t buffer[dral::kQueuedMessageBytes];
    uint16_t n = 0;
    client_test::WaitUntil(
        [&] {
          n = c.GetMessage(buffer, sizeof buffer);
          return n != 0 &&
                 !(n >= 2 && buffer[0] == DRAL_PROTOCOL_RAW && buffer[1] == dral::MsgReply);
        },
        5000);
    return std::vector<uint8_t>(buffer, buffer + n);
  }
};

TEST_F(ReceiveThroughServerTest, InJ1708RawModeAnotherClientsMessageArrivesWhole) {
  StartServer(true);
  dral::TDralClient sender, receiver;
  ASSERT_TRUE(sender.Connect());
  ASSERT_TRUE(receiver.Connect());
  const uint8_t mid = 0;
  ASSERT_EQ(receiver.SetJ1708Filter(&mid, DRAL_FILTER_PASS_ALL), DRAL_OK);
  const std::vector<uint8_t> rawModeOn = {DRAL_PROTOCOL_RAW, dral::MsgJ1708RawMode, 1};
  ASSERT_EQ(sender.PutRaw(rawModeOn.data(), 3), DRAL_OK);
  const std::vector<uint8_t> message = {DRAL_PROTOCOL_J1708, 0x00, 0x80, 0x54, 0x01};
  ASSERT_EQ(sender.PutJ1708(message.data(), 5), DRAL_OK);

  // Raw mode: no checksum goes to the adapter, yet the copy's count has one added for it.
  const auto sent = adapter_.WaitForMessage(dral_test::OfType(dral::MsgJ1708Frame), 5000);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->Data, (std::vector<uint8_t>{0, 0, 3, 0x80, 0x54, 0x01}));
  EXPECT_EQ(NextMessage(receiver), (std::vector<uint8_t>{3, 0xFF, 0x80, 0x54, 0x01}));

  // From the adapter the added one takes in the checksum byte, which the application then gets.
  adapter_.InjectJ1708({0x80, 0x54, 0x02});
  const uint8_t checksum = static_cast<uint8_t>(0 - (0x80 + 0x54 + 0x02));
  EXPECT_EQ(NextMessage(receiver), (std::vector<uint8_t>{3, 0xFF, 0x80, 0x54, 0x02, checksum}));
}

TEST(ReceivedMessageQueue, TooSmallBufferLosesExactlyThatMessage) {
  dral::TClientThread thread(true, nullptr);
  thread.PushMessage(Queued(Bytes(13, 1)));
  thread.PushMessage(Queued(Bytes(5, 100)));
  thread.PushMessage(Queued(Bytes(10, 50)));
  uint8_t buffer[16] = {};
  EXPECT_EQ(thread.PopMessage(buffer, 10), 0u);
  EXPECT_EQ(thread.PopMessage(buffer, 10), 5u);
  EXPECT_EQ(buffer[0], 100);
  EXPECT_EQ(thread.PopMessage(buffer, 10), 10u);  // exactly the size fits
  EXPECT_EQ(buffer[0], 50);
  EXPECT_EQ(thread.PopMessage(buffer, 10), 0u);
  EXPECT_EQ(thread.QueuedCount(), 0u);
}

TEST(ReceivedMessageQueue, MessagesComeOutInArrivalOrderAcrossThreads) {
  dral::TClientThread thread(true, nullptr);
  constexpr int kMessages = 2000;
  std::thread producer([&] {
    for (int i = 0; i < kMessages; ++i) {
      const uint8_t lo = static_cast<uint8_t>(i), hi = static_cast<uint8_t>(i >> 8);
      thread.PushMessage(Queued({lo, hi}));
    }
  });
  int next = 0;
  uint8_t buffer[8];
  const auto start = std::chrono::steady_clock::now();
  while (next < kMessages && client_test::MsSince(start) < 10000) {
    if (thread.PopMessage(buffer, sizeof buffer) == 2) {
      ASSERT_EQ(buffer[0] | buffer[1] << 8, next);
      ++next;
    }
  }
  producer.join();
  EXPECT_EQ(next, kMessages);
}

// Each message is held in its own size: a slow reader behind a pass-all filter on a busy bus
// must not cost the longest message's size per frame. The order and every byte are kept.
TEST(ReceivedMessageQueue, SmallMessagesCostTheirOwnSizeAndComeOutWhole) {
  dral::TClientThread thread(true, nullptr);
  constexpr int kFrames = 20000;
  constexpr size_t kMostBytesPerFrame = 128;  // this CAN frame is 15 bytes
  const size_t before = dral_test::HeapBytesInUse();
  for (int i = 0; i < kFrames; ++i) {
    const uint8_t lo = static_cast<uint8_t>(i), hi = static_cast<uint8_t>(i >> 8);
    thread.DispatchServerMessage(
        MakeMessage(dral::MsgCanFrame, {0x11, lo, hi, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0}));
  }
  const size_t grown = dral_test::HeapBytesInUse() - before;
  EXPECT_LT(grown, kFrames * kMostBytesPerFrame) << grown / kFrames << " bytes per frame";

  auto longest = Bytes(2000, 7);  // a whole multi-packet message: 2001 bytes delivered
  thread.DispatchServerMessage(MakeMessage(dral::MsgJ1939Transport, longest));
  ASSERT_EQ(thread.QueuedCount(), kFrames + 1u);

  uint8_t buffer[dral::kQueuedMessageBytes];
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(thread.PopMessage(buffer, sizeof buffer), 15u);
    ASSERT_EQ(buffer[1] | buffer[2] << 8, i & 0xFFFF);
    ASSERT_EQ(buffer[12], 8);
  }
  ASSERT_EQ(thread.PopMessage(buffer, sizeof buffer), dral::kQueuedMessageBytes);
  EXPECT_EQ(std::vector<uint8_t>(buffer + 7, buffer + dral::kQueuedMessageBytes),
            std::vector<uint8_t>(longest.begin() + 6, longest.end()));
  EXPECT_EQ(thread.QueuedCount(), 0u);
}

TEST(ReplyHandOff, ReplyToAnotherRequestLeavesTheWaitArmedAndIsDelivered) {
  dral::TClientThread thread(true, nullptr);
  thread.ArmReply(dral::MsgJ1939Filter);
  thread.DispatchServerMessage(MakeMessage(dral::MsgReply, {dral::MsgCanFilter, dral::ReplyOk}));
  EXPECT_TRUE(thread.AwaitingReply());
  uint8_t buffer[16];
  ASSERT_EQ(thread.PopMessage(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
            (std::vector<uint8_t>{0x20, dral::MsgReply, dral::MsgCanFilter, dral::ReplyOk}));

  thread.DispatchServerMessage(
      MakeMessage(dral::MsgReply, {dral::MsgJ1939Filter, dral::ReplyFailed, 2, 1, 0, 0}));
  EXPECT_FALSE(thread.AwaitingReply());
  EXPECT_EQ(thread.ReplyResult(), dral::ReplyFailed);
  EXPECT_EQ(thread.PopMessage(buffer, sizeof buffer), 8u);  // also delivered
}

}  // namespace
