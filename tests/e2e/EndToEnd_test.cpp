// The whole system with its real programs: the adapter simulator serving a simulated USB
// adapter, DRALServer (started by the library) and two applications in processes of their own,
// each loading libDRAL.so. The test process paces the applications with marker files and steers
// the adapter through the simulator's command input.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "E2eHarness.h"
#include "testsupport/test_env.h"

namespace {

using namespace e2e;

constexpr int kLinkUpMs = 20000;      // library load, server start and link up
constexpr int kStepMs = 10000;        // one step of the other side
constexpr int kMessageMs = 5000;      // one message on its way
constexpr int kServerExitMs = 10000;  // the server ends about 3 s after the last application

constexpr uint8_t kCanFrame = 0x20;
constexpr uint8_t kJ1939Frame = 0x30;
constexpr uint8_t kJ1708Frame = 0x40;
constexpr uint8_t kVersionRequest = 0x04;

const Bytes kVersion = {0, 0, 3, 7, 0, 0};
const char* const kVersionOption = "0.0.3.7.0.0";

class SystemTest : public SystemFixture {
 protected:
  void StartAdapter(std::vector<std::string> args) {
    std::string error;
    args.insert(args.end(), {"--version", kVersionOption});
    ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM, args, error)) << error;
  }

  bool AwaitTestProcess(const std::string& marker) { return AwaitMark(marker, kLinkUpMs); }

  // An application's first step: loads the library, connects and waits for the link.
  void Open(Api& api, DRAL_Handle& h) { OpenConnection(api, h, kLinkUpMs); }

  // An application while the cable is out and back in: it sees the server search ("<role>-
  // searching"), then connected again (with the adapter's version when `version`: "<role>-back").
  void RideOutPulledCable(const Api& api, DRAL_Handle h, const std::string& role,
                          bool version = false) {
    ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_SEARCHING, kStepMs))
        << std::hex << api.GetStatus(h);
    Mark(role + "-searching");
    ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_CONNECTED, kStepMs))
        << std::hex << api.GetStatus(h);
    if (version) {
      EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
    }
    Mark(role + "-back");
  }

  // An application's last step: on "finish" it disconnects and unloads the library.
  void Finish(Api& api, DRAL_Handle h) {
    ASSERT_TRUE(AwaitTestProcess("finish"));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
  }

  // The roles: the applications of the two tests.
  void SharingApplicationA();
  void SharingApplicationB();
  void WinUsbApplication();
};

// ---------------------------------------------------------------------------------------------
// Two applications share the adapter on the USB driver link: traffic both ways through each
// one's filters, copies of one application's frames for the other, and a pulled cable.

// What the adapter sends in the first round, in this order (the adapter simulator's commands).
const char* const kAdapterRound1[] = {
    "can 11 18FEF200 0102",                // CAN: A (passes all), not B (one identifier)
    "j1939 01 18FEEE00 0102030405060708",  // J1939 PGN 0xFEEE: B, not A (PGN 0xFEF1 only)
    "j1708 8154",                          // J1708 MID 0x81: B, not A (MID 0x80 only)
    "can 11 0CF00400 11223344",            // both
    "j1939 01 18FEF100 AABBCCDD",          // both
    "j1708 805407",                        // both
};
const char* const kAdapterRound2[] = {"can 11 0CF00400 55", "j1708 805409"};

// A's transmissions.
const Bytes kCanFromA = CanMessage(0x0CF00400, {0xA1, 0xA2});
const Bytes kJ1939FromA = J1939Message(0xFEF1, 0x21, 6, {1, 2, 3, 4, 5, 6, 7, 8});
const Bytes kJ1708FromA = {DRAL_PROTOCOL_J1708, 0x00, 0xAC, 0x00, 0x55};
const Bytes kCanFromB = CanMessage(0x18FEF300, {0xB1});
const Bytes kCanFromAAfterReplug = CanMessage(0x0CF00400, {0xA3});

void SystemTest::SharingApplicationA() {
  Api api;
  DRAL_Handle h = 0;
  ASSERT_NO_FATAL_FAILURE(Open(api, h));
  EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
  ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs));
  DralFilter j1939{};
  j1939.Operation = DRAL_FILTER_PASS;
  j1939.Protocol = DRAL_PROTOCOL_J1939_CAN1;
  j1939.Data.J1939 = {DRAL_J1939_FILTER_PGN, 0xF1, 0xFE, 0, 0, 0, 0};
  DralFilter j1708{};
  j1708.Operation = DRAL_FILTER_PASS;
  j1708.Protocol = DRAL_PROTOCOL_J1708;
  j1708.Data.Mid = 0x80;
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, j1939), DRAL_OK);
  ASSERT_EQ(Filter(api, h, j1708), DRAL_OK);
  Mark("a-ready");

  ASSERT_TRUE(AwaitTestProcess("round-1"));
  // The last message passes every filter, so one that should have been held back would have
  // arrived before it.
  EXPECT_EQ(NextMessages(api, h, 4, kMessageMs),
            (std::vector<Bytes>{CanMessage(0x18FEF200, {1, 2}),
                                CanMessage(0x0CF00400, {0x11, 0x22, 0x33, 0x44}),
                                J1939Message(0xFEF1, 0x00, 6, {0xAA, 0xBB, 0xCC, 0xDD}),
                                J1708Received({0x80, 0x54, 0x07})}));
  Mark("a-round-1");

  ASSERT_TRUE(AwaitTestProcess("a-send"));
  EXPECT_EQ(Put(api, h, kCanFromA), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1939FromA), DRAL_OK);
  EXPECT_EQ(Put(api, h, kJ1708FromA), DRAL_OK);
  ASSERT_TRUE(AwaitTestProcess("b-sent"));
  EXPECT_EQ(NextMessage(api, h, kMessageMs), kCanFromB);  // the server's copy
  Mark("a-copies");

  ASSERT_NO_FATAL_FAILURE(RideOutPulledCable(api, h, "a", true));

  ASSERT_TRUE(AwaitTestProcess("round-2"));
  EXPECT_EQ(
      NextMessages(api, h, 2, kMessageMs),
      (std::vector<Bytes>{CanMessage(0x0CF00400, {0x55}), J1708Received({0x80, 0x54, 0x09})}));
  EXPECT_EQ(Put(api, h, kCanFromAAfterReplug), DRAL_OK);
  Mark("a-round-2");

  Finish(api, h);
}

void SystemTest::SharingApplicationB() {
  Api api;
  DRAL_Handle h = 0;
  ASSERT_NO_FATAL_FAILURE(Open(api, h));
  ASSERT_TRUE(WaitChannelAvailable(api, h, kStepMs));
  DralAdapterStatus status{};
  EXPECT_EQ(api.GetAdapterStatus(h, reinterpret_cast<uint8_t*>(&status)), DRAL_OK);
  EXPECT_EQ(status.LinkState, DRAL_LINK_CONNECTED & 0xFF);
  EXPECT_EQ(status.Connections, 2);  // A's and this one
  DralFilter can{};
  can.Operation = DRAL_FILTER_PASS;
  can.Protocol = DRAL_PROTOCOL_CAN1;
  can.Data.Can = {0x1FFFFFFF, 0x0CF00400};
  ASSERT_EQ(Filter(api, h, can), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1708)), DRAL_OK);
  Mark("b-ready");

  ASSERT_TRUE(AwaitTestProcess("round-1"));
  EXPECT_EQ(NextMessages(api, h, 5, kMessageMs),
            (std::vector<Bytes>{J1939Message(0xFEEE, 0x00, 6, {1, 2, 3, 4, 5, 6, 7, 8}),
                                J1708Received({0x81, 0x54}),
                                CanMessage(0x0CF00400, {0x11, 0x22, 0x33, 0x44}),
                                J1939Message(0xFEF1, 0x00, 6, {0xAA, 0xBB, 0xCC, 0xDD}),
                                J1708Received({0x80, 0x54, 0x07})}));
  Mark("b-round-1");

  // A's frames, copied by the server to this connection as its filters pass them (a J1708
  // copy without the checksum the server appended for the adapter).
  ASSERT_TRUE(AwaitTestProcess("a-send"));
  EXPECT_EQ(NextMessages(api, h, 3, kMessageMs),
            (std::vector<Bytes>{
                kCanFromA, kJ1939FromA, {DRAL_PROTOCOL_J1708, 0xFF, 0xAC, 0x00, 0x55}}));
  EXPECT_EQ(Put(api, h, kCanFromB), DRAL_OK);
  Mark("b-sent");

  ASSERT_NO_FATAL_FAILURE(RideOutPulledCable(api, h, "b"));

  ASSERT_TRUE(AwaitTestProcess("round-2"));
  EXPECT_EQ(
      NextMessages(api, h, 2, kMessageMs),
      (std::vector<Bytes>{CanMessage(0x0CF00400, {0x55}), J1708Received({0x80, 0x54, 0x09})}));
  Mark("b-round-2");

  Finish(api, h);
}

TEST_F(SystemTest, ApplicationsShareTheUsbAdapterAndOutliveAPulledCable) {
  if (RunRole({{"a", [this] { SharingApplicationA(); }},
               {"b", [this] { SharingApplicationB(); }}})) {
    return;
  }
  StartAdapter({"--usb", "--name", "usb-adapter"});
  const std::string entry = adapter_.Entry();
  ASSERT_EQ(entry, env_.DeviceDir() + "/{B2A7A7FA-CA82-474B-9BDC-9E4F66F07FB1}/usb-adapter");
  ASSERT_TRUE(fs::exists(entry));

  // A's library starts the server, which finds the adapter.
  StartApplication("a");
  ASSERT_TRUE(AwaitApplication("a-ready", kLinkUpMs));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0) << "no DRALServer process";
  StartApplication("b");
  ASSERT_TRUE(AwaitApplication("b-ready"));

  for (const char* command : kAdapterRound1) ASSERT_EQ(adapter_.Command(command), "ok") << command;
  Mark("round-1");
  ASSERT_TRUE(AwaitApplication("a-round-1"));
  ASSERT_TRUE(AwaitApplication("b-round-1"));

  Mark("a-send");
  ASSERT_TRUE(AwaitApplication("a-copies"));
  // What the applications sent, as the adapter received it (the copies may have been quicker).
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 2, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1939Frame, 1, kMessageMs));
  ASSERT_TRUE(adapter_.WaitFor(kJ1708Frame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0xA2},
                                {0x11, 0x00, 0xF3, 0xFE, 0x18, 0xB1}}));
  EXPECT_EQ(adapter_.Messages(kJ1939Frame),
            (std::vector<Bytes>{{0x01, 0x21, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8}}));
  // The server appends the J1708 checksum (and counts it in the length).
  EXPECT_EQ(adapter_.Messages(kJ1708Frame),
            (std::vector<Bytes>{
                {0x00, 0x00, 0x04, 0xAC, 0x00, 0x55, J1708Checksum({0xAC, 0x00, 0x55})}}));

  // The cable is pulled: both applications see the server search for the adapter.
  ASSERT_EQ(adapter_.Command("unplug"), "ok");
  EXPECT_FALSE(fs::exists(entry));
  ASSERT_TRUE(AwaitApplication("a-searching"));
  ASSERT_TRUE(AwaitApplication("b-searching"));
  ASSERT_EQ(adapter_.Command("clear"), "ok");
  ASSERT_EQ(adapter_.Command("plug"), "ok");
  ASSERT_TRUE(AwaitApplication("a-back"));
  ASSERT_TRUE(AwaitApplication("b-back"));
  // The server met the adapter afresh on the new connection.
  EXPECT_TRUE(adapter_.WaitFor(kVersionRequest, 1, kMessageMs));
  const std::string status = adapter_.Command("status");
  EXPECT_NE(status.find(" connections=2 "), std::string::npos) << status;

  for (const char* command : kAdapterRound2) ASSERT_EQ(adapter_.Command(command), "ok") << command;
  Mark("round-2");
  ASSERT_TRUE(AwaitApplication("a-round-2"));
  ASSERT_TRUE(AwaitApplication("b-round-2"));
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA3}}));

  const auto finish = Clock::now();
  Mark("finish");
  EXPECT_EQ(ApplicationExit("a"), 0);
  EXPECT_EQ(ApplicationExit("b"), 0);
  // No application has the library loaded any more: the server ends by itself, about 3 s
  // later (counted on its 400 ms timer, so from 2.8 s on).
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0) << "DRALServer did not end by itself";
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - finish).count(),
            2500);

  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
  EXPECT_FALSE(fs::exists(entry)) << "the simulator left its entry behind";
}

// ---------------------------------------------------------------------------------------------
// One application on the WinUSB link: the adapter found through the WinUSB library, traffic both
// ways, and a pulled cable.

void SystemTest::WinUsbApplication() {
  Api api;
  DRAL_Handle h = 0;
  ASSERT_NO_FATAL_FAILURE(Open(api, h));
  EXPECT_EQ(AwaitAdapterVersion(api, h, kVersion, kMessageMs), kVersion);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_CAN1)), DRAL_OK);
  ASSERT_EQ(Filter(api, h, PassAll(DRAL_PROTOCOL_J1939_CAN1)), DRAL_OK);
  Mark("app-ready");

  ASSERT_TRUE(AwaitTestProcess("round-1"));
  EXPECT_EQ(NextMessages(api, h, 2, kMessageMs),
            (std::vector<Bytes>{CanMessage(0x18FEF200, {1, 2}),
                                J1939Message(0xFEF1, 0x00, 6, {0xAA, 0xBB})}));
  EXPECT_EQ(Put(api, h, kCanFromA), DRAL_OK);
  Mark("app-round-1");

  ASSERT_NO_FATAL_FAILURE(RideOutPulledCable(api, h, "app"));

  ASSERT_TRUE(AwaitTestProcess("round-2"));
  EXPECT_EQ(NextMessage(api, h, kMessageMs), CanMessage(0x0CF00400, {0x55}));
  EXPECT_EQ(Put(api, h, kCanFromAAfterReplug), DRAL_OK);
  Mark("app-round-2");

  Finish(api, h);
}

TEST_F(SystemTest, AnApplicationUsesTheWinUsbAdapterAcrossAPulledCable) {
  if (RunRole({{"app", [this] { WinUsbApplication(); }}})) return;
  // The server's WinUSB link loads the WinUSB library of this build.
  ASSERT_EQ(setenv("DRAL_WINUSB_LIBRARY", DRAL_WINUSB_LIBRARY_FILE, 1), 0);
  struct Unset {
    ~Unset() { unsetenv("DRAL_WINUSB_LIBRARY"); }
  } unset;
  StartAdapter({"--winusb"});
  const std::string entry = adapter_.Entry();
  ASSERT_EQ(entry, env_.DeviceDir() + "/{B3B99BA9-11D6-4EB9-ACD4-349BDD50810F}/adapter0");

  StartApplication("app");
  ASSERT_TRUE(AwaitApplication("app-ready", kLinkUpMs));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0) << "no DRALServer process";

  ASSERT_EQ(adapter_.Command("can 11 18FEF200 0102"), "ok");
  ASSERT_EQ(adapter_.Command("j1939 01 18FEF100 AABB"), "ok");
  Mark("round-1");
  ASSERT_TRUE(AwaitApplication("app-round-1"));
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA1, 0xA2}}));

  ASSERT_EQ(adapter_.Command("unplug"), "ok");
  EXPECT_FALSE(fs::exists(entry));
  ASSERT_TRUE(AwaitApplication("app-searching"));
  ASSERT_EQ(adapter_.Command("clear"), "ok");
  ASSERT_EQ(adapter_.Command("plug"), "ok");
  ASSERT_TRUE(AwaitApplication("app-back"));
  const std::string status = adapter_.Command("status");
  EXPECT_NE(status.find(" describes=2 "), std::string::npos) << status;

  ASSERT_EQ(adapter_.Command("can 11 0CF00400 55"), "ok");
  Mark("round-2");
  ASSERT_TRUE(AwaitApplication("app-round-2"));
  ASSERT_TRUE(adapter_.WaitFor(kCanFrame, 1, kMessageMs));
  EXPECT_EQ(adapter_.Messages(kCanFrame),
            (std::vector<Bytes>{{0x11, 0x00, 0x04, 0xF0, 0x0C, 0xA3}}));

  Mark("finish");
  EXPECT_EQ(ApplicationExit("app"), 0);
  // The application's run is usually shorter than the server's 400 ms look at the number of
  // processes that have the library loaded: the server must notice it came and went all the same.
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0) << "DRALServer did not end by itself";
  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
  EXPECT_FALSE(fs::exists(entry));
}

}  // namespace
