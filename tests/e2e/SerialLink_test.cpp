// The serial link with the real programs: the adapter simulator on a serial line (a
// pseudo-terminal that paces its bytes at the line rate), listed in the serial-port list of the
// test's registry; DRALServer, started by an application's library, finds it by its scan and
// carries the application's traffic; the line hangs up and comes back under another name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eHarness.h"

namespace {

using namespace e2e;

constexpr int kLinkUpMs = 20000;  // library load, server start, scan and link up
constexpr int kStepMs = 10000;    // one step of the other side
constexpr int kMessageMs = 5000;  // one message on its way
constexpr int kServerExitMs = 10000;

using sim::kCanFrame;
using sim::kJ1708Frame;
using sim::kJ1939Frame;
using sim::kVersionRequest;

const Bytes kVersion = {0, 0, 4, 2, 0, 0};
const char* const kVersionOption = "0.0.4.2.0.0";

// What the adapter sends in each round (simulator commands), and what the application receives.
// The J1939 data holds 0x7E, which the line carries escaped.
const char* const kAdapterRound[2][3] = {
    {"can 11 18FEF200 0102", "j1939 01 18FEF100 7E7D7EAA", "j1708 805407"},
    {"can 11 0CF00400 55", "j1939 01 18FEF100 01", "j1708 805409"},
};
const std::vector<Bytes> kReceived[2] = {
    {CanMessage(0x18FEF200, {1, 2}), J1939Message(0xFEF1, 0x00, 6, {0x7E, 0x7D, 0x7E, 0xAA}),
     J1708Received({0x80, 0x54, 0x07})},
    {CanMessage(0x0CF00400, {0x55}), J1939Message(0xFEF1, 0x00, 6, {0x01}),
     J1708Received({0x80, 0x54, 0x09})},
};
// What the application sends in each round, and what the adapter receives of it.
const Bytes kSent[2][3] = {
    {CanMessage(0x0CF00400, {0xA1, 0x7E}), J1939Message(0xFEF1, 0x21, 6, {1, 2, 3, 4, 5, 6, 7, 8}),
     {DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x55}},
    {CanMessage(0x0CF00400, {0xA3}), J1939Message(0xFEF1, 0x21, 6, {9}),
     {DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x56}},
};
const Bytes kAdapterGot[2][3] = {
    {{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0x7E},
     {0x01, 0x21, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8},
     {0x00, 0x00, 0x04, 0xAC, 0x00, 0x55, J1708Checksum({0xAC, 0x00, 0x55})}},
    {{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA3},
     {0x01, 0x21, 0xF1, 0xFE, 0x18, 9},
     {0x00, 0x00, 0x04, 0xAC, 0x00, 0x56, J1708Checksum({0xAC, 0x00, 0x56})}},
};

class SerialLinkTest : public SystemFixture {
 protected:
  bool AwaitTestProcess(const std::string& marker) { return AwaitMark(marker, kLinkUpMs); }

  // One round for the application: the adapter's three messages in, its own three out.
  void ApplicationRound(const Api& api, DRAL_Handle h, int round) {
    const std::string n = std::to_string(round + 1);
    ASSERT_TRUE(AwaitTestProcess("round-" + n));
    EXPECT_EQ(NextMessages(api, h, 3, kMessageMs), kReceived[round]);
    for (const Bytes& m : kSent[round]) EXPECT_EQ(Put(api, h, m), DRAL_OK);
    Mark("app-round-" + n);
  }

  // One round for the test process: the adapter sends, then receives the application's.
  void AdapterRound(int round) {
    ASSERT_EQ(adapter_.Command("clear"), "ok");
    for (const char* command : kAdapterRound[round]) {
      ASSERT_EQ(adapter_.Command(command), "ok") << command;
    }
    Mark("round-" + std::to_string(round + 1));
    ASSERT_TRUE(AwaitApplication("app-round-" + std::to_string(round + 1)));
    ASSERT_TRUE(adapter_.WaitFor(kJ1708Frame, 1, kMessageMs));
    ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
    ASSERT_TRUE(adapter_.WaitFor(kJ1939Frame, 1, kMessageMs));
    EXPECT_EQ(adapter_.Messages(kCanFrame), std::vector<Bytes>{kAdapterGot[round][0]});
    EXPECT_EQ(adapter_.Messages(kJ1939Frame), std::vector<Bytes>{kAdapterGot[round][1]});
    EXPECT_EQ(adapter_.Messages(kJ1708Frame), std::vector<Bytes>{kAdapterGot[round][2]});
  }

  void Application();
};

void SerialLinkTest::Application() {
  Api api;
  DRAL_Handle h = 0;
  ASSERT_NO_FATAL_FAILURE(OpenConnection(api, h, kLinkUpMs));
  EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
  ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs));
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1708)), DRAL_OK);
  Mark("app-ready");

  ASSERT_NO_FATAL_FAILURE(ApplicationRound(api, h, 0));

  // The line hangs up: the server drops the link and searches, then finds the adapter on its
  // new port and meets it afresh.
  ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_SEARCHING, kStepMs)) << std::hex << api.GetStatus(h);
  Mark("app-searching");
  ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_CONNECTED, kLinkUpMs))
      << std::hex << api.GetStatus(h);
  EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
  ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs));
  Mark("app-back");

  ASSERT_NO_FATAL_FAILURE(ApplicationRound(api, h, 1));

  ASSERT_TRUE(AwaitTestProcess("finish"));
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(SerialLinkTest, TheServerFindsTheSerialAdapterByScanAndFindsItAgainAfterAHangUp) {
  if (RunRole({{"app", [this] { Application(); }}})) return;
  SetSerialLinkEnabled(true);
  // The line is published under a name in the test's own folder, so a port name the server
  // remembers never reaches a pseudo-terminal of another test that took over the number.
  std::string error;
  ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM,
                             {"--pty", "--pty-link", Root() + "/adapter-line", "--version",
                              kVersionOption, "--transmit-answer", "none"},
                             error))
      << error;
  const std::string first = adapter_.Entry();
  ASSERT_EQ(first, Root() + "/adapter-line");
  SetSerialCommPorts({first});

  StartApplication("app");
  ASSERT_TRUE(AwaitApplication("app-ready", kLinkUpMs));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0) << "no DRALServer process";
  // The scan asked for the highest rate, and the adapter took it.
  std::string status = adapter_.Command("status");
  EXPECT_NE(status.find(" rate=115200 host-rate=115200 "), std::string::npos) << status;
  EXPECT_EQ(ReadUserString(dral::TScanSettings::kKey, dral::TScanSettings::kPreviousPort), first);

  ASSERT_NO_FATAL_FAILURE(AdapterRound(0));

  ASSERT_EQ(adapter_.Command("unplug"), "ok");
  ASSERT_TRUE(AwaitApplication("app-searching"));
  ASSERT_EQ(adapter_.Command("plug"), "ok");
  const std::string path = adapter_.Command("path");
  ASSERT_EQ(path.rfind("ok ", 0), 0u) << path;
  const std::string second = path.substr(3);
  EXPECT_NE(second, first);
  ASSERT_EQ(adapter_.Command("clear"), "ok");
  SetSerialCommPorts({second});
  ASSERT_TRUE(AwaitApplication("app-back", kLinkUpMs));
  EXPECT_TRUE(adapter_.WaitFor(kVersionRequest, 1, kMessageMs));
  EXPECT_EQ(ReadUserString(dral::TScanSettings::kKey, dral::TScanSettings::kPreviousPort),
            second);

  ASSERT_NO_FATAL_FAILURE(AdapterRound(1));

  Mark("finish");
  EXPECT_EQ(ApplicationExit("app"), 0);
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0) << "DRALServer did not end by itself";
  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
  EXPECT_FALSE(fs::exists(second)) << "the simulator left its line behind";
}

}  // namespace
