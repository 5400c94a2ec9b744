// Address claims of a connection and their defence, against a fake server in the test process
// that records every record the connection puts; the test plays the server's part of storing a
// claim in the slot, and the other nodes' claims are put into the connection's ring.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "client/ClientObj.h"
#include "client_test_util.h"
#include "server/ServerObj.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/J1939Peer.h"
#include "testsupport/SimConduit.h"
#include "testsupport/test_env.h"

namespace {

using client_test::FakeServer;
using client_test::MsSince;
using client_test::WaitUntil;
using dral::HuxMessage;
using Bytes = std::vector<uint8_t>;
namespace j1939 = dral::j1939;

constexpr uint8_t kAddress = 0x80;
// NAMEs travel least significant byte first: kMiddle is 0x40...0010 as a number.
constexpr uint8_t kMiddle[8] = {0x10, 0, 0, 0, 0, 0, 0, 0x40};
constexpr uint8_t kHigher[8] = {0x00, 0, 0, 0, 0, 0, 0, 0x41};  // first byte lower, number higher
constexpr uint8_t kLower[8] = {0x20, 0, 0, 0, 0, 0, 0, 0x3F};   // first byte higher, number lower

std::atomic<uint32_t> gLostArgument{0};
std::atomic<int> gLostCalls{0};
// Set by a test before the loss, run by the callback.
std::atomic<const std::function<void()>*> gInCallback{nullptr};
void OnAddressLost(uint32_t address) {
  if (const auto* inCallback = gInCallback.load()) (*inCallback)();
  gLostArgument.store(address);
  gLostCalls.fetch_add(1);
}

class AddressClaimTest : public dral_test::IsolatedTest {
 protected:
  void SetUp() override {
    gLostCalls.store(0);
    gLostArgument.store(0);
    gInCallback.store(nullptr);
    ASSERT_TRUE(client_.Connect());
    slot_ = server_.Queue().Slot(client_.SlotIndex());
    ASSERT_TRUE(client_.SetAddressLostCallback(&OnAddressLost));
  }
  void TearDown() override { client_.Disconnect(); }

  // What the server keeps of a claim on `channel` (0, 1).
  void Record(int channel, uint8_t address, const uint8_t* name) {
    for (int i = 0; i < 8; ++i) slot_->Claimed[channel].Name[i].store(name[i]);
    slot_->Claimed[channel].Address.store(address);
  }
  // Claims kAddress with kMiddle, recorded by the "server" first.
  void ClaimHeld(uint8_t protocol) {
    Record(protocol == DRAL_PROTOCOL_J1939_CAN1 ? 0 : 1, kAddress, kMiddle);
    ASSERT_EQ(client_.ClaimAddress(protocol, kAddress, kMiddle), DRAL_OK);
  }
  // Another node's claim of kAddress with `name` reaches the connection.
  void Contest(uint8_t channelBits, const uint8_t* name) {
    const HuxMessage claim = j1939::AddressClaimRecord(channelBits, kAddress, name);
    ASSERT_TRUE(server_.Queue().Put(&slot_->ToClient, &claim));
  }
  // The claims the connection sent.
  std::vector<HuxMessage> Claims() {
    std::vector<HuxMessage> out;
    for (const auto& m : server_.Received()) {
      if (m.Type == dral::MsgJ1939Control && m.Data[3] == j1939::kPfAddressClaimed) out.push_back(m);
    }
    return out;
  }
  // The cannot-claim messages the connection sent: plain claim frames.
  std::vector<HuxMessage> CannotClaims() {
    std::vector<HuxMessage> out;
    for (const auto& m : server_.Received()) {
      if (m.Type == dral::MsgJ1939Frame && m.Data[3] == j1939::kPfAddressClaimed) out.push_back(m);
    }
    return out;
  }
  // Waits until `n` application messages are queued (each contest is delivered first).
  uint8_t Delivered(size_t n) {
    size_t got = 0;
    uint8_t buffer[64];
    WaitUntil(
        [&] {
          while (client_.GetMessage(buffer, sizeof buffer) == 15) ++got;
          return got >= n;
        },
        5000);
    return static_cast<uint8_t>(got);
  }

  // When set, the fake server answers a claim with the notice that another client holds the
  // address with this NAME (the server stores the claim first, as the test does beforehand).
  std::atomic<const uint8_t*> clashName_{nullptr};
  FakeServer server_{[this](const HuxMessage& m) -> std::vector<HuxMessage> {
    const uint8_t* name = clashName_.load();
    if (!name || m.Type != dral::MsgJ1939Control || m.Data[3] != j1939::kPfAddressClaimed) return {};
    return {j1939::AddressClaimRecord(m.Data[0], m.Data[1], name)};
  }};
  dral::TDralClient client_;
  dral::ClientSlot* slot_ = nullptr;
};

TEST_F(AddressClaimTest, AddressAboveTwoHundredFiftyThreeIsRefusedWithoutSending) {
  EXPECT_EQ(client_.ClaimAddress(DRAL_PROTOCOL_J1939_CAN1, 254, kMiddle), DRAL_ERR_ADDRESS_RANGE);
  EXPECT_EQ(client_.ClaimAddress(DRAL_PROTOCOL_J1939_CAN1, 255, kMiddle), DRAL_ERR_ADDRESS_RANGE);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.ClaimAddress(DRAL_PROTOCOL_J1939_CAN2, 253, kMiddle), DRAL_OK);
  EXPECT_GE(MsSince(start), 240);  // waited for a contest
  ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 1; }, 5000));
  const auto claims = Claims();  // the first record sent is the claim of 253
  EXPECT_EQ(Bytes(claims[0].Data, claims[0].Data + 13),
            (Bytes{2, 253, 0xFF, 0xEE, 0x18, 0x10, 0, 0, 0, 0, 0, 0, 0x40}));
  EXPECT_EQ(server_.Received().size(), 1u);
}

TEST_F(AddressClaimTest, TenthContestLosesTheAddressAndCallsTheCallback) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  for (int i = 1; i <= 9; ++i) {
    Contest(dral::kChannelBit2, kHigher);
    ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 1u + i; }, 5000)) << i;
  }
  const auto answer = Claims().back();
  EXPECT_EQ(Bytes(answer.Data, answer.Data + 13),
            (Bytes{2, kAddress, 0xFF, 0xEE, 0x18, 0x10, 0, 0, 0, 0, 0, 0, 0x40}));
  EXPECT_EQ(gLostCalls.load(), 0);
  Contest(dral::kChannelBit2, kHigher);
  ASSERT_TRUE(WaitUntil([&] { return gLostCalls.load() == 1; }, 5000));
  EXPECT_EQ(gLostArgument.load() & 0xFF, kAddress);
  EXPECT_EQ(slot_->Claimed[1].Address.load(), dral::kNoAddress);
  EXPECT_EQ(Delivered(10), 10);  // every contest is delivered as well
  EXPECT_EQ(Claims().size(), 10u);  // the tenth is not answered
}

// A NAME is a number sent low byte first: comparing its bytes in the order carried would let
// kHigher win against kMiddle and kLower lose.
TEST_F(AddressClaimTest, LowerNameAsANumberTakesTheAddressAtOnce) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  Contest(dral::kChannelBit2, kHigher);
  ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 2; }, 5000));
  EXPECT_EQ(gLostCalls.load(), 0);
  Contest(dral::kChannelBit2, kLower);
  ASSERT_TRUE(WaitUntil([&] { return gLostCalls.load() == 1; }, 5000));
  EXPECT_EQ(Claims().size(), 2u);
  // Lost: a later contest is only delivered.
  Contest(dral::kChannelBit2, kLower);
  EXPECT_EQ(Delivered(3), 3);
  EXPECT_EQ(Claims().size(), 2u);
  EXPECT_EQ(gLostCalls.load(), 1);
}

TEST_F(AddressClaimTest, EqualNameLosesOnChannelOneAndIsAnsweredOnChannelTwo) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  Contest(dral::kChannelBit2, kMiddle);
  ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 2; }, 5000));
  EXPECT_EQ(gLostCalls.load(), 0);

  ClaimHeld(DRAL_PROTOCOL_J1939_CAN1);
  Contest(dral::kChannelBit1, kMiddle);
  ASSERT_TRUE(WaitUntil([&] { return gLostCalls.load() == 1; }, 5000));
  EXPECT_EQ(slot_->Claimed[0].Address.load(), dral::kNoAddress);
  EXPECT_EQ(slot_->Claimed[1].Address.load(), kAddress);  // channel 2 still held
  // and still defended
  Contest(dral::kChannelBit2, kHigher);
  ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 4; }, 5000));
}

// A node that gives its address up tells the network so before the application hears of it:
// the claim from the null address with its NAME. A release sends nothing.
TEST_F(AddressClaimTest, LostAddressIsAnnouncedAsCannotClaimBeforeTheCallback) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  std::atomic<bool> announcedFirst{false};
  const std::function<void()> inCallback = [&] {
    announcedFirst.store(WaitUntil([&] { return CannotClaims().size() == 1; }, 5000));
  };
  gInCallback.store(&inCallback);
  Contest(dral::kChannelBit2, kLower);
  ASSERT_TRUE(WaitUntil([&] { return gLostCalls.load() == 1; }, 10000));
  EXPECT_TRUE(announcedFirst.load());
  const auto sent = CannotClaims();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Bytes(sent[0].Data, sent[0].Data + sent[0].Length),
            (Bytes{2, 0xFE, 0xFF, 0xEE, 0x18, 0x10, 0, 0, 0, 0, 0, 0, 0x40}));

  ClaimHeld(DRAL_PROTOCOL_J1939_CAN1);
  client_.ReleaseAddress(DRAL_PROTOCOL_J1939_CAN1);
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN1);  // its claim is taken after anything the release sent
  ASSERT_TRUE(WaitUntil([&] { return Claims().size() == 3; }, 5000));
  EXPECT_EQ(CannotClaims().size(), 1u);
}

// The callback waits for a lock that the disconnecting thread holds: the disconnect gives the
// receive thread up at its bound, and the thread ends on its own once the callback returns.
TEST_F(AddressClaimTest, DisconnectGivesUpOnACallbackWaitingForTheDisconnectingThread) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  std::mutex held;
  std::atomic<bool> entered{false};
  held.lock();
  const std::function<void()> inCallback = [&] {
    entered.store(true);
    if (WaitUntil([&] { return held.try_lock(); }, 15000)) held.unlock();
  };
  gInCallback.store(&inCallback);
  Contest(dral::kChannelBit2, kLower);
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }, 5000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client_.Disconnect());
  EXPECT_GE(MsSince(start), dral::kThreadGiveUpMs - 100);
  EXPECT_LT(MsSince(start), dral::kThreadGiveUpMs + 3000);
  EXPECT_FALSE(client_.Connected());
  EXPECT_TRUE(client_.ThreadLeftRunning());
  held.unlock();
  EXPECT_TRUE(WaitUntil([&] { return !client_.ThreadLeftRunning(); }, 5000));
  EXPECT_EQ(gLostCalls.load(), 1);
}

TEST_F(AddressClaimTest, ReleasedAddressIsNoLongerDefended) {
  ClaimHeld(DRAL_PROTOCOL_J1939_CAN2);
  client_.ReleaseAddress(DRAL_PROTOCOL_J1939_CAN2);
  EXPECT_EQ(slot_->Claimed[1].Address.load(), dral::kNoAddress);
  Record(1, kAddress, kMiddle);  // even where the slot still named it
  Contest(dral::kChannelBit2, kHigher);
  EXPECT_EQ(Delivered(1), 1);
  EXPECT_EQ(Claims().size(), 1u);
  EXPECT_EQ(gLostCalls.load(), 0);
}

TEST_F(AddressClaimTest, ClaimContestedDuringItsWaitFails) {
  Record(1, kAddress, kMiddle);
  clashName_.store(kLower);
  EXPECT_EQ(client_.ClaimAddress(DRAL_PROTOCOL_J1939_CAN2, kAddress, kMiddle),
            DRAL_ERR_CLAIM_FAILED);
  EXPECT_EQ(gLostCalls.load(), 1);
  EXPECT_FALSE(client_.ClaimAddress(7, kAddress, kMiddle) == DRAL_OK);  // no such channel
}

// 253 is the highest address a node may hold: its claim goes the whole way through a real
// server, which stores it and sends it to the adapter, and the connection defends it against a
// node on the bus with a higher NAME. Only 254 and 255 are refused, before anything is sent.
TEST(ClaimThroughServer, ClaimOfTheHighestAddressIsStoredSentAndDefended) {
  dral_test::IsolatedEnv env;
  dral_test::Watchdog watchdog(30);
  dral_test::AdapterSimulator adapter;
  dral_test::SimLinkControl link;
  dral::TDralServer::Options options;
  dral::LinkFactoryTable links{};
  links[dral::LinkRowUsb] = [&] { return std::make_unique<dral_test::SimConduit>(adapter, link); };
  options.Links = links;
  options.StartWaitThread = true;
  auto server = std::make_unique<dral::TDralServer>(options);
  ASSERT_TRUE(adapter.WaitForMessage(dral_test::OfType(dral_test::sim::kJ1708Filter), 5000));
  dral_test::J1939Peer node(adapter, dral::kChannelBit2, 0x21);
  node.Contest(253, {0x00, 0, 0, 0, 0, 0, 0, 0x41}, 1);  // kHigher
  const auto isClaim = dral_test::IsJ1939Pf(j1939::kPfAddressClaimed);
  {
    dral::TDralClient client;
    ASSERT_TRUE(client.Connect());
    EXPECT_EQ(client.ClaimAddress(DRAL_PROTOCOL_J1939_CAN2, 254, kMiddle), DRAL_ERR_ADDRESS_RANGE);
    EXPECT_EQ(client.ClaimAddress(DRAL_PROTOCOL_J1939_CAN2, 255, kMiddle), DRAL_ERR_ADDRESS_RANGE);
    EXPECT_EQ(client.ClaimAddress(DRAL_PROTOCOL_J1939_CAN2, 253, kMiddle), DRAL_OK);
    EXPECT_EQ(server->Channel().Block()->Slots[client.SlotIndex()].Claimed[1].Address.load(), 253);
    // The claim, and after the node's contest the claim again.
    EXPECT_TRUE(adapter.WaitForCount(isClaim, 2, 5000));
    for (const auto& m : adapter.Messages(isClaim)) {
      EXPECT_EQ(m.Data, (Bytes{2, 253, 0xFF, 0xEE, 0x18, 0x10, 0, 0, 0, 0, 0, 0, 0x40}));
    }
    client.Disconnect();
  }
  server.reset();  // before the simulator and the link control it uses
}

}  // namespace
