// The FTDI link end to end: DRALServer, started by an application's library, loads the fake D2XX
// library (DRAL_FTD2XX_LIBRARY), finds the adapter simulator program's device in the fake's
// socket folder and carries CAN, J1939 and J1708 traffic both ways for the application.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "E2eHarness.h"

namespace {

using namespace e2e;

const Bytes kVersion = {0, 0, 3, 9, 0, 0};

using FtdiSystemTest = SystemFixture;

TEST_F(FtdiSystemTest, AnApplicationTalksToTheAdapterOverTheFtdiLinkBothWays) {
  if (RunRole({{"app", [this] { ExchangeBothWaysApplication(kVersion); }}})) return;
  // The server's FTDI link loads the fake D2XX library, which finds the simulator's socket.
  ASSERT_EQ(setenv("DRAL_FTD2XX_LIBRARY", DRAL_FTD2XX_LIBRARY_FILE, 1), 0);
  struct Unset {
    ~Unset() { unsetenv("DRAL_FTD2XX_LIBRARY"); }
  } unset;
  std::string error;
  ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM,
                             {"--ftdi", "--name", "FT9280A", "--version", "0.0.3.9.0.0"}, error))
      << error;
  const std::string entry = adapter_.Entry();
  // Only the fake library's folder holds a device: no USB link of the server finds one.
  ASSERT_EQ(entry, env_.DeviceDir() + "/ftd2xx/FT9280A");

  StartApplication("app");
  ASSERT_TRUE(AwaitApplication("app-ready", kLinkUpMs));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0) << "no DRALServer process";

  ASSERT_NO_FATAL_FAILURE(ExchangeBothWaysAdapter());
  // One host connection: the server opened the device once and kept it.
  const std::string status = adapter_.Command("status");
  EXPECT_NE(status.find(" connections=1 "), std::string::npos) << status;

  Mark("finish");
  EXPECT_EQ(ApplicationExit("app"), 0);
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0) << "DRALServer did not end by itself";
  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
  EXPECT_FALSE(fs::exists(entry)) << "the simulator left its entry behind";
}

}  // namespace
