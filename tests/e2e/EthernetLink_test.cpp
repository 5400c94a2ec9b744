// The Ethernet link end to end: the adapter simulator program listens on a loopback address of
// this test's own at the link's fixed port, DRALServer (started by an application's library)
// has its Ethernet link on and that address as the adapter's, connects over TCP and carries
// CAN, J1939 and J1708 traffic both ways for the application. The address set-up is off, and
// the address lies outside the adapter's subnet anyway: the machine's interfaces stay as they
// are. No other link finds an adapter: the device folder is empty, the FTDI link loads the fake
// D2XX library (its folder is empty too) and the serial link is off.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "E2eHarness.h"
#include "testsupport/AdapterTcpFront.h"

namespace {

using namespace e2e;

const Bytes kVersion = {0, 0, 5, 3, 0, 0};

const Bytes kCanFromApp = CanMessage(0x0CF00400, {0xA1, 0x7E});
const Bytes kJ1939FromApp = J1939Message(0xFEF1, 0x21, 6, {1, 2, 3, 4, 5, 6, 7, 8});
const Bytes kJ1708FromApp = {DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x55};

// The names the server reads (its settings key, HKEY_CURRENT_USER).
constexpr const char* kEthernetEnabled = "EthernetEnabled";
constexpr const char* kAdapterAddress = "AdapterIPAddressHistory01";
constexpr const char* kAutoConfigure = "AutoConfigureInterface";

class EthernetSystemTest : public SystemFixture {
 protected:
  void Application();
};

void EthernetSystemTest::Application() {
  Api api;
  const DRAL_Handle h = ConnectWhenUp(api);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1708)), DRAL_OK);
  Mark("app-ready");

  ASSERT_TRUE(AwaitMark("adapter-sent", kStepMs));
  EXPECT_EQ(NextMessages(api, h, 3, kMessageMs),
            (std::vector<Bytes>{CanMessage(0x18FEF200, {1, 0x7E}),
                                J1939Message(0xFEF1, 0x00, 6, {0xAA, 0x7D, 0xCC, 0xDD}),
                                J1708Received({0x80, 0x54, 0x07})}));
  EXPECT_EQ(Put(api, h, kCanFromApp), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1939FromApp), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1708FromApp), DRAL_OK);
  Mark("app-sent");

  ASSERT_TRUE(AwaitMark("finish", kStepMs));
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(EthernetSystemTest, AnApplicationTalksToTheAdapterOverTheEthernetLinkBothWays) {
  if (RunRole({{"app", [this] { Application(); }}})) return;
  ASSERT_EQ(setenv("DRAL_FTD2XX_LIBRARY", DRAL_FTD2XX_LIBRARY_FILE, 1), 0);
  struct Unset {
    ~Unset() { unsetenv("DRAL_FTD2XX_LIBRARY"); }
  } unset;
  // The server connects to the adapter's address at the fixed port: each test has an address
  // of its own, so tests side by side never meet.
  const std::string address = dral_test::OwnLoopbackAddress(getpid());
  std::string error;
  ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM,
                             {"--tcp", address, "--version", "0.0.5.3.0.0"}, error))
      << error;
  ASSERT_EQ(adapter_.Entry(), address + ":44779");
  const std::string key = dral::TScanSettings::kKey;
  dral_test::WriteUserInteger(key, kEthernetEnabled, 1);
  dral_test::WriteUserString(key, kAdapterAddress, address);
  dral_test::WriteUserInteger(key, kAutoConfigure, 0);

  StartApplication("app");
  ASSERT_TRUE(AwaitApplication("app-ready", kLinkUpMs));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0) << "no DRALServer process";
  // No device of any other link exists.
  for (const auto& entry : fs::recursive_directory_iterator(env_.DeviceDir())) {
    EXPECT_TRUE(entry.is_directory()) << entry.path();
  }

  for (const char* command :
       {"can 11 18FEF200 017E", "j1939 01 18FEF100 AA7DCCDD", "j1708 805407"}) {
    ASSERT_EQ(adapter_.Command(command), "ok") << command;
  }
  Mark("adapter-sent");
  ASSERT_TRUE(AwaitApplication("app-sent"));
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1939Frame, 1, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1708Frame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0x7E}}));
  EXPECT_EQ(adapter_.Messages(kJ1939Frame),
            (std::vector<Bytes>{{0x01, 0x21, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8}}));
  EXPECT_EQ(adapter_.Messages(kJ1708Frame),
            (std::vector<Bytes>{
                {0x00, 0x00, 0x04, 0xAC, 0x00, 0x55, J1708Checksum({0xAC, 0x00, 0x55})}}));
  // One connection, kept, from this machine's loopback.
  const std::string status = adapter_.Command("status");
  EXPECT_NE(status.find(" connections=1 "), std::string::npos) << status;
  EXPECT_NE(status.find(" peer=127."), std::string::npos) << status;

  Mark("finish");
  EXPECT_EQ(ApplicationExit("app"), 0);
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0) << "DRALServer did not end by itself";
  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
}

}  // namespace
