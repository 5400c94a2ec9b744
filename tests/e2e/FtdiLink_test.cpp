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

const Bytes kCanFromApp = CanMessage(0x0CF00400, {0xA1, 0xA2});
const Bytes kJ1939FromApp = J1939Message(0xFEF1, 0x21, 6, {1, 2, 3, 4, 5, 6, 7, 8});
const Bytes kJ1708FromApp = {DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x55};

class FtdiSystemTest : public SystemFixture {
 protected:
  void Application();
};

void FtdiSystemTest::Application() {
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
            (std::vector<Bytes>{CanMessage(0x18FEF200, {1, 2}),
                                J1939Message(0xFEF1, 0x00, 6, {0xAA, 0xBB, 0xCC, 0xDD}),
                                J1708Received({0x80, 0x54, 0x07})}));
  EXPECT_EQ(Put(api, h, kCanFromApp), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1939FromApp), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1708FromApp), DRAL_OK);
  Mark("app-sent");

  ASSERT_TRUE(AwaitMark("finish", kStepMs));
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(FtdiSystemTest, AnApplicationTalksToTheAdapterOverTheFtdiLinkBothWays) {
  if (RunRole({{"app", [this] { Application(); }}})) return;
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

  for (const char* command :
       {"can 11 18FEF200 0102", "j1939 01 18FEF100 AABBCCDD", "j1708 805407"}) {
    ASSERT_EQ(adapter_.Command(command), "ok") << command;
  }
  Mark("adapter-sent");
  ASSERT_TRUE(AwaitApplication("app-sent"));
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1939Frame, 1, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1708Frame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0xA2}}));
  EXPECT_EQ(adapter_.Messages(kJ1939Frame),
            (std::vector<Bytes>{{0x01, 0x21, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8}}));
  EXPECT_EQ(adapter_.Messages(kJ1708Frame),
            (std::vector<Bytes>{
                {0x00, 0x00, 0x04, 0xAC, 0x00, 0x55, J1708Checksum({0xAC, 0x00, 0x55})}}));
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
