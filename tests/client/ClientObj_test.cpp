#include "client/ClientObj.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "client_test_util.h"
#include "testsupport/test_env.h"

namespace {

using client_test::DataOf;
using client_test::FakeServer;
using client_test::MsSince;
using client_test::WaitUntil;
using dral::HuxMessage;
using dral_test::MakeMessage;
using Bytes = std::vector<uint8_t>;

// ---- Connections ----------------------------------------------------------------------------

class DralClientTest : public dral_test::IsolatedTest {};

uint32_t ElapsedCall(const std::function<uint32_t()>& call, double& ms) {
  const auto start = std::chrono::steady_clock::now();
  const uint32_t result = call();
  ms = MsSince(start);
  return result;
}

TEST_F(DralClientTest, FilterRequestsWithoutServerTimeOutAndDisconnectBlocksEachKindInOrder) {
  dral::THuxQueue observer(false, 0);  // keeps the block; no server answers
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  const int slotIndex = client.SlotIndex();
  dral::ClientSlot* slot = observer.Slot(slotIndex);
  ASSERT_NE(slot, nullptr);

  const Bytes j1939(7, 0), can(8, 0);
  const uint8_t mid = 0x80;
  double ms = 0;
  EXPECT_EQ(ElapsedCall([&] { return client.SetJ1708Filter(&mid, DRAL_FILTER_PASS); }, ms),
            DRAL_ERR_FILTER_NO_REPLY);
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(client.SetCanFilter(can.data(), DRAL_FILTER_PASS, false, 1), DRAL_ERR_FILTER_NO_REPLY);
  EXPECT_EQ(client.SetJ1939Filter(j1939.data(), DRAL_FILTER_PASS_ALL, 2), DRAL_ERR_FILTER_NO_REPLY);

  // Take the three requests off the ring as a server would; then only the disconnect writes.
  HuxMessage m;
  std::vector<uint8_t> types;
  while (observer.Peek(&slot->ToServer, &m)) {
    types.push_back(m.Type);
    observer.Remove(&slot->ToServer);
  }
  EXPECT_EQ(types, (Bytes{dral::MsgJ1708Filter, dral::MsgCanFilter, dral::MsgJ1939Filter}));
  const uint16_t from = slot->ToServer.WriteIndex.load();

  ASSERT_TRUE(client.Disconnect());
  EXPECT_EQ(observer.Block()->Header.SlotMask.load() & (1u << slotIndex), 0u);
  // Freeing the slot resets the ring's indices; the bytes stay where the disconnect wrote them.
  const uint8_t* b = slot->ToServer.Buffer;
  const Bytes written(b + from, b + from + 15);
  EXPECT_EQ(written, (Bytes{1, 0, dral::MsgJ1939Filter, 0x0F, 1, 0, dral::MsgCanFilter, 0x0F, 1, 0,
                            dral::MsgJ1708Filter, 0x03, 0, 0, 0}));
}

TEST_F(DralClientTest, InvalidFilterOperationSendsNothingAndNeedsNoBlockOnDisconnect) {
  dral::THuxQueue observer(false, 0);
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  dral::ClientSlot* slot = observer.Slot(client.SlotIndex());
  const Bytes data(8, 0);
  EXPECT_EQ(client.SetJ1939Filter(data.data(), 7, 1), DRAL_ERR_FILTER_INVALID);
  EXPECT_EQ(client.SetCanFilter(data.data(), 0, false, 1), DRAL_ERR_FILTER_INVALID);
  EXPECT_EQ(client.SetJ1708Filter(data.data(), 9), DRAL_ERR_FILTER_INVALID);
  EXPECT_EQ(observer.Count(&slot->ToServer), 0u);
  ASSERT_TRUE(client.Disconnect());
  const uint8_t* b = slot->ToServer.Buffer;
  EXPECT_EQ(Bytes(b, b + 4), (Bytes{0, 0, 0, 0}));
}

TEST_F(DralClientTest, ServerReplyDecidesTheFilterResult) {
  FakeServer server([](const HuxMessage& request) -> std::vector<HuxMessage> {
    switch (request.Type) {
      case dral::MsgJ1939Filter:
        return {MakeMessage(dral::MsgReply, {request.Type, dral::ReplyOk})};
      case dral::MsgCanFilter:
        return {MakeMessage(dral::MsgReply, {request.Type, dral::ReplyFailed, 2, 1, 0, 0})};
      case dral::MsgJ1708Filter:  // a reply to something else: no answer for this request
        return {MakeMessage(dral::MsgReply, {dral::MsgCanFilter, dral::ReplyOk})};
      default:
        return {};
    }
  });
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  const Bytes data(8, 0);
  double ms = 0;
  EXPECT_EQ(
      ElapsedCall([&] { return client.SetJ1939Filter(data.data(), DRAL_FILTER_PASS, 1); }, ms),
      DRAL_OK);
  EXPECT_LT(ms, 500);
  EXPECT_EQ(client.SetCanFilter(data.data(), DRAL_FILTER_BLOCK, false, 2), DRAL_ERR_FILTER_REFUSED);
  EXPECT_EQ(client.SetJ1708Filter(data.data(), DRAL_FILTER_BLOCK_ALL), DRAL_ERR_FILTER_NO_REPLY);

  // Every reply is also delivered to the application, in order.
  std::vector<Bytes> delivered;
  uint8_t buffer[64];
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (uint16_t n = client.GetMessage(buffer, sizeof buffer))
          delivered.emplace_back(buffer, buffer + n);
        return delivered.size() == 3;
      },
      2000));
  EXPECT_EQ(delivered[0], (Bytes{0x20, 0x01, dral::MsgJ1939Filter, 1}));
  EXPECT_EQ(delivered[1], (Bytes{0x20, 0x01, dral::MsgCanFilter, 0, 2, 1, 0, 0}));
  EXPECT_EQ(delivered[2], (Bytes{0x20, 0x01, dral::MsgCanFilter, 1}));
}

TEST_F(DralClientTest, ConcurrentFilterRequestsOfOneConnectionEachGetTheirReply) {
  FakeServer server([](const HuxMessage& request) -> std::vector<HuxMessage> {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both requests are pending
    return {MakeMessage(dral::MsgReply, {request.Type, dral::ReplyOk})};
  });
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  const Bytes data(8, 0);
  uint32_t j1939 = 0, can = 0;
  std::thread other([&] { j1939 = client.SetJ1939Filter(data.data(), DRAL_FILTER_PASS_ALL, 1); });
  can = client.SetCanFilter(data.data(), DRAL_FILTER_PASS_ALL, false, 1);
  other.join();
  EXPECT_EQ(j1939, DRAL_OK);
  EXPECT_EQ(can, DRAL_OK);
}

TEST_F(DralClientTest, RecordsReachGetMessageWithoutAWakeUp) {
  FakeServer server;
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  dral::ClientSlot* slot = server.Queue().Slot(client.SlotIndex());
  const HuxMessage frame = MakeMessage(dral::MsgCanFrame, {0x12, 0x44, 0x33, 0x22, 0x11, 0xAB});
  ASSERT_TRUE(server.Queue().Put(&slot->ToClient, &frame));  // no pulse of the client event
  uint8_t buffer[32];
  uint16_t n = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return (n = client.GetMessage(buffer, sizeof buffer)) != 0; }, 1000));
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(Bytes(buffer, buffer + n), (Bytes{0x04, 0x44, 0x33, 0x22, 0x11, 0xAB}));
  EXPECT_EQ(server.Queue().Count(&slot->ToClient), 0u);
}

TEST_F(DralClientTest, PutMessagesReachTheServerRingEncoded) {
  FakeServer server;
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  const Bytes can = {0x84, 0x23, 0x01, 0x00, 0x00, 9};
  const Bytes j1708 = {3, 0x77, 0x80, 0x01};
  EXPECT_EQ(client.PutCan(can.data(), 6), DRAL_OK);
  EXPECT_EQ(client.PutJ1708(j1708.data(), 4), DRAL_OK);
  ASSERT_TRUE(WaitUntil([&] { return server.Received().size() == 2; }, 2000));
  const auto received = server.Received();
  EXPECT_EQ(received[0].Type, dral::MsgCanFrame);
  EXPECT_EQ(DataOf(received[0]), (Bytes{0x02, 0x23, 0x01, 0x00, 0x00, 9}));
  EXPECT_EQ(received[1].Type, dral::MsgJ1708Frame);
  EXPECT_EQ(DataOf(received[1]), (Bytes{0x00, 0x77, 2, 0x80, 0x01}));
}

TEST_F(DralClientTest, FullRingFailsTheSendAndUnconnectedSendsFail) {
  dral::THuxQueue observer(false, 0);
  dral::TDralClient client;
  const Bytes raw(2050, 0x20);
  EXPECT_EQ(client.PutRaw(raw.data(), 2050), DRAL_ERR_SEND_FAILED);  // not connected yet
  ASSERT_TRUE(client.Connect());
  // 2051-byte records: three fit into the 8192-byte ring, the fourth does not.
  EXPECT_EQ(client.PutRaw(raw.data(), 2050), DRAL_OK);
  EXPECT_EQ(client.PutRaw(raw.data(), 2050), DRAL_OK);
  EXPECT_EQ(client.PutRaw(raw.data(), 2050), DRAL_OK);
  EXPECT_EQ(client.PutRaw(raw.data(), 2050), DRAL_ERR_SEND_FAILED);
  EXPECT_EQ(observer.Count(&observer.Slot(client.SlotIndex())->ToServer), 3u);
  ASSERT_TRUE(client.Disconnect());
  EXPECT_EQ(client.PutCan(raw.data(), 5), DRAL_ERR_SEND_FAILED);
  uint16_t state = 0;
  EXPECT_FALSE(client.GetStatus(state));
}

TEST_F(DralClientTest, SixteenConnectionsTakeEverySlotAndAFreedSlotIsReused) {
  std::vector<std::unique_ptr<dral::TDralClient>> clients;
  for (int i = 0; i < dral::kSlotCount; ++i) {
    clients.push_back(std::make_unique<dral::TDralClient>());
    ASSERT_TRUE(clients.back()->Connect());
    EXPECT_EQ(clients.back()->SlotIndex(), i);
  }
  dral::TDralClient extra;
  EXPECT_FALSE(extra.Connect());
  uint8_t status[6];
  ASSERT_TRUE(clients[0]->GetAdapterStatus(status));
  EXPECT_EQ(status[0], 0x03);  // LinkNoServer's low byte
  EXPECT_EQ(status[1], 16);
  ASSERT_TRUE(clients[3]->Disconnect());
  ASSERT_TRUE(extra.Connect());
  EXPECT_EQ(extra.SlotIndex(), 3);
}

TEST_F(DralClientTest, ALinkStateTheServerNeverWritesReadsAsNoServer) {
  const auto server = dral::TServerLock::Claim();
  ASSERT_NE(server, nullptr);
  dral::THuxQueue observer(false, 0);
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  auto& linkState = observer.Block()->Header.LinkState;
  uint16_t state = 0;
  uint8_t status[6];
  linkState = dral::LinkConnected;
  ASSERT_TRUE(client.GetStatus(state));
  EXPECT_EQ(state, dral::LinkConnected);
  linkState = 0xFFFF;
  ASSERT_TRUE(client.GetStatus(state));
  EXPECT_EQ(state, dral::LinkNoServer);
  ASSERT_TRUE(client.GetAdapterStatus(status));
  EXPECT_EQ(status[0], dral::LinkNoServer & 0xFF);
}

TEST_F(DralClientTest, StatusSaysNoServerOnceTheServerHasGoneWhateverTheHeaderKept) {
  dral::TDralClient client;
  ASSERT_TRUE(client.Connect());
  auto server = dral::TServerLock::Claim();
  ASSERT_NE(server, nullptr);
  dral::THuxQueue observer(false, 0);
  observer.Block()->Header.LinkState.store(dral::LinkConnected);
  uint16_t state = 0;
  uint8_t status[6];
  ASSERT_TRUE(client.GetStatus(state));
  EXPECT_EQ(state, dral::LinkConnected);
  server.reset();  // as a server that died: the header still says connected
  ASSERT_TRUE(client.GetStatus(state));
  EXPECT_EQ(state, dral::LinkNoServer);
  ASSERT_TRUE(client.GetAdapterStatus(status));
  EXPECT_EQ(status[0], dral::LinkNoServer & 0xFF);
}

}  // namespace
