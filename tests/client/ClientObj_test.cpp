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
using client_test::Record;
using client_test::WaitUntil;
using dral::HuxMessage;
using Bytes = std::vector<uint8_t>;

// ---- Encoders -------------------------------------------------------------------------------

Bytes Encoded(bool (*encode)(const uint8_t*, uint16_t, HuxMessage&), const Bytes& message,
              uint8_t expectedType) {
  HuxMessage m{};
  if (!encode(message.data(), static_cast<uint16_t>(message.size()), m)) return {0xEE};
  EXPECT_EQ(m.Type, expectedType);
  return DataOf(m);
}

TEST(MessageEncoding, CanProtocolSelectsChannelAndIdentifierForm) {
  const Bytes rest = {0x21, 0x43, 0x65, 0x07, 0xDE, 0xAD};
  struct Case {
    uint8_t protocol;
    uint8_t bits;
  };
  for (const Case c : {Case{0x01, 0x11}, Case{0x81, 0x01}, Case{0x04, 0x12}, Case{0x84, 0x02}}) {
    Bytes message = {c.protocol};
    message.insert(message.end(), rest.begin(), rest.end());
    Bytes expected = {c.bits};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(Encoded(dral::EncodeCan, message, dral::MsgCanFrame), expected)
        << "protocol " << int(c.protocol);
  }
}

TEST(MessageEncoding, J1939Pdu1TakesTheDestinationFromItsOwnByte) {
  // PF 0xEA, PS 0x00, DP 1, priority 6, SA 0x80, DA 0x21, data 0xAA 0xBB 0xCC.
  const Bytes message = {2, 0x00, 0xEA, 1, 6, 0x80, 0x21, 0xAA, 0xBB, 0xCC};
  EXPECT_EQ(Encoded(dral::EncodeJ1939Frame, message, dral::MsgJ1939Frame),
            (Bytes{0x01, 0x80, 0x21, 0xEA, 6 << 2 | 1, 0xAA, 0xBB, 0xCC}));
}

TEST(MessageEncoding, J1939Pdu2SendsItsGroupExtensionAndIgnoresTheDestination) {
  // Protocol 5 (channel 2), PF 0xFE, PS 0xEC, priority byte with the broadcast bit and junk.
  const Bytes message = {5, 0xEC, 0xFE, 0x02, 0x83, 0x10, 0x21, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Encoded(dral::EncodeJ1939Frame, message, dral::MsgJ1939Frame),
            (Bytes{0x02, 0x10, 0xEC, 0xFE, 3 << 2, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(MessageEncoding, J1708LengthAbove255SetsBit8) {
  Bytes message(258);
  message[0] = 3;
  message[1] = 0x5A;
  for (size_t i = 2; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i);
  HuxMessage m{};
  ASSERT_TRUE(dral::EncodeJ1708(message.data(), 258, m));
  EXPECT_EQ(m.Type, dral::MsgJ1708Frame);
  EXPECT_EQ(m.Length, 259);
  EXPECT_EQ(m.Data[0], 0x80);
  EXPECT_EQ(m.Data[1], 0x5A);
  EXPECT_EQ(m.Data[2], 0x00);
  EXPECT_TRUE(std::equal(message.begin() + 2, message.end(), m.Data + 3));

  ASSERT_TRUE(dral::EncodeJ1708(message.data(), 257, m));  // 255 J1708 bytes
  EXPECT_EQ(m.Data[0], 0x00);
  EXPECT_EQ(m.Data[2], 0xFF);
  EXPECT_EQ(m.Length, 258);
}

TEST(MessageEncoding, RawMessageCarriesItsTypeAndData) {
  EXPECT_EQ(Encoded(dral::EncodeRaw, Bytes{0x20, 0x08, 1, 2}, 0x08), (Bytes{1, 2}));
  EXPECT_EQ(Encoded(dral::EncodeRaw, Bytes{0x20, 0x0C}, 0x0C), Bytes{});
}

TEST(MessageEncoding, LengthsOutsideEachRangeAreRefused) {
  const Bytes big(2100, 0x20);
  HuxMessage m{};
  EXPECT_FALSE(dral::EncodeCan(big.data(), 4, m));
  EXPECT_FALSE(dral::EncodeCan(big.data(), 14, m));
  EXPECT_FALSE(dral::EncodeJ1939Frame(big.data(), 6, m));
  EXPECT_FALSE(dral::EncodeJ1939Frame(big.data(), 16, m));  // goes by transport
  EXPECT_FALSE(dral::EncodeJ1708(big.data(), 2, m));
  EXPECT_FALSE(dral::EncodeJ1708(big.data(), 508, m));
  EXPECT_FALSE(dral::EncodeRaw(big.data(), 1, m));
  EXPECT_FALSE(dral::EncodeRaw(big.data(), 2051, m));
  EXPECT_TRUE(dral::EncodeRaw(big.data(), 2050, m));
  EXPECT_EQ(m.Length, dral::kHuxMaxData);
}

// ---- Filter edits ---------------------------------------------------------------------------

Bytes J1939Edit(uint8_t operation, uint8_t channel, const DralJ1939FilterData& data) {
  HuxMessage m{};
  if (!dral::EncodeJ1939Filter(reinterpret_cast<const uint8_t*>(&data), operation, channel, m)) {
    return {0xEE};
  }
  EXPECT_EQ(m.Type, dral::MsgJ1939Filter);
  return DataOf(m);
}

Bytes IdEdit(uint8_t bits, uint32_t mask, uint32_t value) {
  Bytes b = {bits};
  for (uint32_t v : {mask, value}) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return b;
}

TEST(FilterEncoding, J1939PgnOfAPdu2GroupMatchesNoDestination) {
  // Fields PGN | destination, PF 0xFE, PS 0xCA, DP 1, DA 0x21.
  const DralJ1939FilterData data = {0x09, 0xCA, 0xFE, 1, 0, 0, 0x21};
  EXPECT_EQ(J1939Edit(DRAL_FILTER_PASS, 1, data), IdEdit(0x01, 0x01FFFF00, 0x01FECA00));
}

TEST(FilterEncoding, J1939PgnOfAPdu1GroupAlsoMatchesTheDestination) {
  const DralJ1939FilterData data = {0x09, 0xCA, 0xEF, 0, 0, 0, 0x21};
  EXPECT_EQ(J1939Edit(DRAL_FILTER_BLOCK, 2, data),
            IdEdit(0x02 + 4, 0x01FF0000 | 0x8000FF00, 0x00EF2100));
}

TEST(FilterEncoding, J1939PriorityAndSourceFields) {
  const DralJ1939FilterData data = {0x06, 0, 0, 0, 0x0B, 0x42, 0};  // priority 3 (masked), SA
  EXPECT_EQ(J1939Edit(DRAL_FILTER_PASS, 2, data), IdEdit(0x02, 0x1C0000FF, 3u << 26 | 0x42));
  const DralJ1939FilterData dest = {0x08, 0, 0xFE, 0, 0, 0, 0x33};  // no PGN: PF not looked at
  EXPECT_EQ(J1939Edit(DRAL_FILTER_PASS, 1, dest), IdEdit(0x01, 0x8000FF00, 0x3300));
}

TEST(FilterEncoding, BareOperationsAndUnknownOperations) {
  const DralJ1939FilterData none{};
  EXPECT_EQ(J1939Edit(DRAL_FILTER_PASS_ALL, 1, none), (Bytes{0x09}));
  EXPECT_EQ(J1939Edit(DRAL_FILTER_BLOCK_ALL, 2, none), (Bytes{0x0E}));
  EXPECT_EQ(J1939Edit(0x81, 1, none), (Bytes{0xEE}));  // J1939 compares the whole byte
  EXPECT_EQ(J1939Edit(5, 1, none), (Bytes{0xEE}));

  const uint8_t mid = 0x80;
  HuxMessage m{};
  ASSERT_TRUE(dral::EncodeJ1708Filter(&mid, DRAL_FILTER_PASS_ALL, m));
  EXPECT_EQ(DataOf(m), (Bytes{2}));
  ASSERT_TRUE(dral::EncodeJ1708Filter(&mid, DRAL_FILTER_BLOCK_ALL, m));
  EXPECT_EQ(DataOf(m), (Bytes{3}));
  ASSERT_TRUE(dral::EncodeJ1708Filter(&mid, DRAL_FILTER_PASS, m));
  EXPECT_EQ(DataOf(m), (Bytes{0, 0x80}));
  ASSERT_TRUE(dral::EncodeJ1708Filter(&mid, DRAL_FILTER_BLOCK, m));
  EXPECT_EQ(DataOf(m), (Bytes{1, 0x80}));
  EXPECT_EQ(m.Type, dral::MsgJ1708Filter);
  EXPECT_FALSE(dral::EncodeJ1708Filter(&mid, 0, m));
}

TEST(FilterEncoding, CanStandardFlagsAndLowNibbleOperation) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
  auto edit = [&](uint8_t operation, bool standard, uint8_t channel) {
    HuxMessage m{};
    if (!dral::EncodeCanFilter(data.data(), operation, standard, channel, m)) return Bytes{0xEE};
    EXPECT_EQ(m.Type, dral::MsgCanFilter);
    return DataOf(m);
  };
  Bytes withData = {0x11, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(edit(DRAL_FILTER_PASS, false, 1), withData);
  withData[0] = 0x01;
  EXPECT_EQ(edit(DRAL_FILTER_PASS, true, 1), withData);
  withData[0] = 0x16;                                     // channel 2 + block, extended
  EXPECT_EQ(edit(DRAL_FILTER_BLOCK, true, 2), withData);  // the pass flag does not apply
  withData[0] = 0x06;
  EXPECT_EQ(edit(DRAL_FILTER_BLOCK | DRAL_FILTER_STANDARD_ID, false, 2), withData);
  EXPECT_EQ(edit(0xF1, false, 2), (Bytes{0x0A}));  // only the low nibble selects
  EXPECT_EQ(edit(DRAL_FILTER_BLOCK_ALL, false, 1), (Bytes{0x0D}));
  EXPECT_EQ(edit(0x05, false, 1), (Bytes{0xEE}));
}

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
        return {Record(dral::MsgReply, {request.Type, dral::ReplyOk})};
      case dral::MsgCanFilter:
        return {Record(dral::MsgReply, {request.Type, dral::ReplyFailed, 2, 1, 0, 0})};
      case dral::MsgJ1708Filter:  // a reply to something else: no answer for this request
        return {Record(dral::MsgReply, {dral::MsgCanFilter, dral::ReplyOk})};
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
    return {Record(dral::MsgReply, {request.Type, dral::ReplyOk})};
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
  const HuxMessage frame = Record(dral::MsgCanFrame, {0x12, 0x44, 0x33, 0x22, 0x11, 0xAB});
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
