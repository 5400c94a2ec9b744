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

// The names the server reads (its settings key, HKEY_CURRENT_USER).
constexpr const char* kEthernetEnabled = "EthernetEnabled";
constexpr const char* kAdapterAddress = "AdapterIPAddressHistory01";
constexpr const char* kAutoConfigure = "AutoConfigureInterface";

using EthernetSystemTest = SystemFixture;

TEST_F(EthernetSystemTest, AnApplicationTalksToTheAdapterOverTheEthernetLinkBothWays) {
  if (RunRole({{"app", [this] { ExchangeBothWaysApplication(kVersion); }}})) return;
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

  ASSERT_NO_FATAL_FAILURE(ExchangeBothWaysAdapter());
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
