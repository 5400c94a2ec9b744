// Applications in processes of their own use libDRAL.so against a real server in another
// process, with the adapter simulator behind the server's link manager.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "LibraryHarness.h"
#include "channel/HuxIPC.h"
#include "server/HuxMgr.h"
#include "server/ServerObj.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/DralApp.h"
#include "testsupport/Roles.h"
#include "testsupport/SimConduit.h"
#include "testsupport/test_util.h"

namespace {

using client_test::kChildTimeoutMs;
using client_test::kMarkerTimeoutMs;
using client_test::LibraryTest;
using namespace dral_test;

constexpr int kMessageTimeoutMs = 5000;
constexpr uint32_t kJ1939Id = 6u << 26 | 0xFEu << 16 | 0xF1u << 8 | 0x00;  // PGN 0xFEF1 from SA 0
const Bytes kVersion = {0, 0, 3, 7, 0, 0};

class EndToEndTest : public LibraryTest {
 protected:
  // The roles: a server in a process of its own, and two applications.
  void Server();
  void ApplicationA();
  void ApplicationB();
};

void EndToEndTest::Server() {
  AdapterSimulator adapter;
  SimLinkControl link;
  adapter.SetVersion({0, 0, 3, 7, 0, 0}, 0);
  adapter.SetAutoReply(dral::MsgAdapterCommand08, {dral::MsgAdapterData09, 0xAB, 0xCD});
  dral::TDralServer::Options options;
  dral::LinkFactoryTable links{};
  links[dral::LinkRowUsb] = [&] { return std::make_unique<SimConduit>(adapter, link); };
  options.Links = links;
  auto server = std::make_unique<dral::TDralServer>(options);
  ASSERT_TRUE(adapter.WaitForMessage(OfType(sim::kJ1708Filter), kMessageTimeoutMs));
  SimStatus status;  // every channel available
  adapter.SetStatus(status);
  adapter.InjectMessage(sim::kStatusReply, SerializeStatus(status));
  auto& header = server->Channel().Block()->Header;
  ASSERT_TRUE(WaitUntil([&] { return header.Can2Status.load() == 0x01; }, kMessageTimeoutMs));
  Mark("server-up");

  // B's CAN frame reaches the adapter as B put it.
  auto can = adapter.WaitForMessage(OfType(sim::kCanFrame), kMessageTimeoutMs);
  ASSERT_TRUE(can.has_value());
  EXPECT_EQ(can->Data, (Bytes{0x11, 0xF1, 0x00, 0xDA, 0x18, 1, 2, 3}));

  // Adapter traffic for A, once A's filters are in place.
  ASSERT_TRUE(AwaitMark("a-filtered", kMarkerTimeoutMs));
  adapter.InjectJ1939(0x01, kJ1939Id, {10, 11, 12, 13, 14, 15, 16, 17});
  adapter.InjectJ1708({0x80, 0x54, 0x01}, true, 0x00);
  EXPECT_TRUE(AwaitMark("stop", kChildTimeoutMs));
  server.reset();
}

void EndToEndTest::ApplicationA() {
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  // The server copies its link state into the block on its next pass.
  EXPECT_TRUE(WaitLinkState(api, h, DRAL_LINK_CONNECTED, kMessageTimeoutMs));
  uint8_t version[6];
  EXPECT_EQ(api.GetAdapterVersion(h, version), DRAL_OK);
  EXPECT_EQ(Bytes(version, version + 6), kVersion);
  EXPECT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_CAN1)), DRAL_OK);
  Mark("a-can-filtered");
  // B's frame, copied by the server to the other clients whose filter passes it.
  EXPECT_EQ(NextMessage(api, h, kMessageTimeoutMs), (Bytes{1, 0xF1, 0x00, 0xDA, 0x18, 1, 2, 3}));
  EXPECT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
  EXPECT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1708)), DRAL_OK);
  Mark("a-filtered");
  EXPECT_EQ(NextMessage(api, h, kMessageTimeoutMs),
            (Bytes{2, 0xF1, 0xFE, 0, 6, 0x00, 0xFF, 10, 11, 12, 13, 14, 15, 16, 17}));
  // The adapter's J1708 length leaves out the checksum, so the application gets none.
  EXPECT_EQ(NextMessage(api, h, kMessageTimeoutMs), (Bytes{3, 0xFF, 0x80, 0x54, 0x01}));
  // An adapter command and the adapter's data in answer, as raw messages.
  const Bytes command = {DRAL_PROTOCOL_RAW, 0x08, 0x55};
  EXPECT_EQ(api.PutMessage(h, command.data(), 3), DRAL_OK);
  EXPECT_EQ(NextMessage(api, h, kMessageTimeoutMs), (Bytes{DRAL_PROTOCOL_RAW, 0x09, 0xAB, 0xCD}));
  DralAdapterStatus status{};
  EXPECT_EQ(api.GetAdapterStatus(h, reinterpret_cast<uint8_t*>(&status)), DRAL_OK);
  EXPECT_EQ(status.LinkState, DRAL_LINK_CONNECTED & 0xFF);
  EXPECT_EQ(status.Can1Status & 0x7F, 0x01);
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

void EndToEndTest::ApplicationB() {
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(AwaitMark("a-can-filtered", kMarkerTimeoutMs));
  const Bytes frame = {DRAL_PROTOCOL_CAN1, 0xF1, 0x00, 0xDA, 0x18, 1, 2, 3};
  EXPECT_EQ(api.PutMessage(h, frame.data(), static_cast<uint16_t>(frame.size())), DRAL_OK);
  EXPECT_TRUE(AwaitMark("a-filtered", kMarkerTimeoutMs));
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(EndToEndTest, ApplicationsExchangeTrafficWithTheAdapterThroughTheServer) {
  if (RunRole({{"server", [this] { Server(); }},
               {"a", [this] { ApplicationA(); }},
               {"b", [this] { ApplicationB(); }}})) {
    return;
  }
  const pid_t server = Spawn("server");
  ASSERT_TRUE(AwaitMark("server-up", kMarkerTimeoutMs));
  const pid_t a = Spawn("a");
  const pid_t b = Spawn("b");
  EXPECT_EQ(WaitChild(a, kChildTimeoutMs), 0);
  EXPECT_EQ(WaitChild(b, kChildTimeoutMs), 0);
  Mark("stop");
  EXPECT_EQ(WaitChild(server, kChildTimeoutMs), 0);
}

}  // namespace
