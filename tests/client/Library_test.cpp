// Tests of libDRAL.so as applications see it, without a server (see LibraryHarness.h).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DRAL.h"
#include "LibraryHarness.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "plat/event.h"
#include "plat/object_name.h"
#include "client_test_util.h"
#include "testsupport/test_env.h"

namespace {

using client_test::Api;
using client_test::Exists;
using client_test::kChild;
using client_test::kChildTimeoutMs;
using client_test::kMarkerTimeoutMs;
using client_test::LibraryTest;
using client_test::MsSince;
using client_test::Touch;
using client_test::WaitUntil;
using dral_test::Role;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---- Load: server launch --------------------------------------------------------------------

TEST_F(LibraryTest, LoadStartsTheServerProgramFoundOnPath) {
  if (Role() == kChild) {
    setenv("DRAL_TEST_SERVER_PID_FILE", Marker("server.pid").c_str(), 1);
    uint32_t window = 0;
    ASSERT_FALSE(dral::IsServerRunning(window));
    const auto start = Clock::now();
    Api api = Load(Root() + "/elsewhere");
    const double ms = MsSince(start);
    EXPECT_TRUE(dral::IsServerRunning(window));
    EXPECT_NE(window, static_cast<uint32_t>(getpid()));
    EXPECT_LT(ms, 5000);
    Unload(api);
    return;
  }
  std::filesystem::create_directories(Root() + "/elsewhere");
  InstallProgram(Root() + "/elsewhere", DRAL_STAND_IN_SERVER);
  RunChild();
  KillStandIn();
}

TEST_F(LibraryTest, LoadFindsTheInstalledServerProgramInTheBinFolderBesideLib) {
  if (Role() == kChild) {
    setenv("DRAL_TEST_SERVER_PID_FILE", Marker("server.pid").c_str(), 1);
    Api api = Load(Root() + "/elsewhere");  // a PATH without the program
    uint32_t window = 0;
    EXPECT_TRUE(dral::IsServerRunning(window));
    Unload(api);
    return;
  }
  std::filesystem::create_directories(Root() + "/elsewhere");
  InstallProgram(BinDir(), DRAL_STAND_IN_SERVER);  // <prefix>/lib/libDRAL.so, <prefix>/bin
  RunChild();
  KillStandIn();
}

TEST_F(LibraryTest, WithDralDebugNamingAFileTheStartedServerWritesItsErrorOutputThere) {
  const std::string log = Marker("server-debug.txt");
  if (Role() == kChild) {
    setenv("DRAL_TEST_SERVER_PID_FILE", Marker("server.pid").c_str(), 1);
    setenv("DRAL_DEBUG", log.c_str(), 1);
    Api api = Load();
    Unload(api);
    return;
  }
  InstallProgram(BinDir(), DRAL_STAND_IN_SERVER);
  RunChild();
  KillStandIn();
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("stand-in server"), std::string::npos) << text;
}

TEST_F(LibraryTest, LoadPrefersTheServerProgramBesideTheLibrary) {
  if (Role() == kChild) {
    setenv("DRAL_TEST_SERVER_PID_FILE", Marker("server.pid").c_str(), 1);
    Api api = Load();
    uint32_t window = 0;
    EXPECT_TRUE(dral::IsServerRunning(window));
    EXPECT_FALSE(Exists(Marker("path-program-ran")));
    Unload(api);
    return;
  }
  InstallProgram(LibDir(), DRAL_STAND_IN_SERVER);
  InstallScript(BinDir(), "touch '" + Marker("path-program-ran") + "'");
  RunChild();
  KillStandIn();
}

TEST_F(LibraryTest, LoadWithoutServerProgramReturnsAtOnceAndConnectionsStillWork) {
  if (Role() == kChild) {
    const auto start = Clock::now();
    Api api = Load();
    EXPECT_LT(MsSince(start), 1000);
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    EXPECT_EQ(api.GetStatus(h), DRAL_OK | DRAL_LINK_NO_SERVER);
    uint8_t version[6];
    EXPECT_EQ(api.GetAdapterVersion(h, version), DRAL_OK);
    EXPECT_EQ(Bytes(version, version + 6), Bytes(6, 0xFF));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
    return;
  }
  RunChild();
}

TEST_F(LibraryTest, LoadGivesUpWaitingAfterFiftyPolls) {
  if (Role() == kChild) {
    const auto start = Clock::now();
    Api api = Load();
    const double ms = MsSince(start);
    EXPECT_GE(ms, 4800);
    EXPECT_LT(ms, 9000);
    Unload(api);
    return;
  }
  InstallScript(BinDir(), "exit 0");  // starts, but never comes up as a server
  RunChild();
}

// ---- Attach count ---------------------------------------------------------------------------

TEST_F(LibraryTest, AttachCountFollowsLoadsOfSeveralProcessesAndNeverGoesBelowZero) {
  if (Role() == "a" || Role() == "b") {
    Api api = Load();
    Touch(Marker("loaded-" + Role()));
    EXPECT_TRUE(WaitUntil([&] { return Exists(Marker("go")); }, kMarkerTimeoutMs));
    Unload(api);
    return;
  }
  // A server-mode queue of this process: the children's probe finds a server and starts none.
  dral::THuxQueue server(false);
  auto& count = server.Block()->Header.AttachCount;
  const pid_t a = Spawn("a");
  const pid_t b = Spawn("b");
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("loaded-a")) && Exists(Marker("loaded-b")); },
                        kMarkerTimeoutMs));
  EXPECT_EQ(count.load(), 2);
  count.store(1);  // as if one load had not been counted
  Touch(Marker("go"));
  EXPECT_EQ(dral_test::WaitChild(a, kChildTimeoutMs), 0);
  EXPECT_EQ(dral_test::WaitChild(b, kChildTimeoutMs), 0);
  EXPECT_EQ(count.load(), 0);  // not 65535
}

// The application processes of a test; those still running when the test ends early are killed
// and reaped.
class Applications {
 public:
  Applications() = default;
  Applications(const Applications&) = delete;
  Applications& operator=(const Applications&) = delete;
  ~Applications() {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      dral_test::WaitChild(pid, kChildTimeoutMs);
    }
  }
  pid_t Start(const std::string& role) {
    const pid_t pid = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), role);
    if (pid > 0) running_.push_back(pid);
    return pid;
  }
  int Wait(pid_t pid) {
    std::erase(running_, pid);
    return dral_test::WaitChild(pid, kChildTimeoutMs);
  }

 private:
  std::vector<pid_t> running_;
};

TEST_F(LibraryTest, ALoadMadeBeforeAnyBlockIsCountedAtItsFirstConnectionAndTakenBackAtUnload) {
  if (Role() == "a") {
    Api api = Load();  // no server and no connection anywhere: there is no block to count in
    Touch(Marker("a-loaded"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-connect")); }, kMarkerTimeoutMs));
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    Touch(Marker("a-connected"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-disconnect")); }, kMarkerTimeoutMs));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Touch(Marker("a-disconnected"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-unload")); }, kMarkerTimeoutMs));
    Unload(api);
    return;
  }
  if (Role() == "b") {
    Api api = Load();
    Touch(Marker("b-loaded"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("b-unload")); }, kMarkerTimeoutMs));
    Unload(api);
    return;
  }
  Applications apps;
  const pid_t a = apps.Start("a");
  ASSERT_GT(a, 0);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-loaded")); }, kMarkerTimeoutMs));
  Touch(Marker("a-connect"));
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-connected")); }, kMarkerTimeoutMs));
  {
    dral::THuxQueue look(false, 0);
    EXPECT_FALSE(look.Mem().Created());
    EXPECT_EQ(look.Block()->Header.AttachCount.load(), 1) << "A not counted at its connect";
  }
  Touch(Marker("a-disconnect"));
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("a-disconnected")); }, kMarkerTimeoutMs));

  // A server starts while A has the library loaded without a connection, then B loads.
  dral::THuxQueue server(false);
  EXPECT_FALSE(server.Mem().Created()) << "the block ended with A's count in it";
  auto& count = server.Block()->Header.AttachCount;
  EXPECT_EQ(count.load(), 1);
  const pid_t b = apps.Start("b");
  ASSERT_GT(b, 0);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("b-loaded")); }, kMarkerTimeoutMs));
  EXPECT_EQ(count.load(), 2);

  Touch(Marker("a-unload"));
  EXPECT_EQ(apps.Wait(a), 0);
  EXPECT_EQ(count.load(), 1) << "B, still loaded, is no longer counted";
  Touch(Marker("b-unload"));
  EXPECT_EQ(apps.Wait(b), 0);
  EXPECT_EQ(count.load(), 0);
}

TEST_F(LibraryTest, AProcessThatWasNeverCountedNeverLowersTheCountOfOthers) {
  if (Role() == "x" || Role() == "y") {
    Api api = Load();
    Touch(Marker(Role() + "-loaded"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker(Role() + "-unload")); }, kMarkerTimeoutMs));
    Unload(api);
    return;
  }
  Applications apps;
  const pid_t x = apps.Start("x");  // loads while there is no block, and never connects
  ASSERT_GT(x, 0);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("x-loaded")); }, kMarkerTimeoutMs));
  dral::THuxQueue server(false);
  ASSERT_TRUE(server.Mem().Created());
  auto& count = server.Block()->Header.AttachCount;
  const pid_t y = apps.Start("y");  // loads while the server runs: counted
  ASSERT_GT(y, 0);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("y-loaded")); }, kMarkerTimeoutMs));
  EXPECT_EQ(count.load(), 1);

  Touch(Marker("x-unload"));
  EXPECT_EQ(apps.Wait(x), 0);
  EXPECT_EQ(count.load(), 1) << "X took back a count it never made";
  Touch(Marker("y-unload"));
  EXPECT_EQ(apps.Wait(y), 0);
  EXPECT_EQ(count.load(), 0);
}

// ---- Exports --------------------------------------------------------------------------------

TEST_F(LibraryTest, EveryExportAnswersBadArgumentsWithItsErrorCode) {
  if (Role() != kChild) return RunChild();
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  std::vector<DRAL_Handle> bogus = {0, 1, 2, h + 1, h - 1, ~h, 0xFFFFFFFF, 0x80000000};
  std::mt19937 random(12345);
  for (int i = 0; i < 32; ++i) bogus.push_back(random());
  std::vector<uint8_t> big(0x10000, DRAL_PROTOCOL_CAN1);
  const uint8_t name[8] = {};
  DralFilter filter = dral_test::PassAll(DRAL_PROTOCOL_J1708);
  uint8_t out[6];
  for (DRAL_Handle b : bogus) {
    if (b == h) continue;
    SCOPED_TRACE(b);
    EXPECT_EQ(api.Disconnect(b), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.ConfigFilter(b, &filter), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.GetMessage(b, big.data(), 0xFFFF), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.PutMessage(b, big.data(), 13), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.ClaimAddress(b, 2, 0x80, name), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.ReleaseAddress(b, 2), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.GetStatus(b), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.GetAdapterVersion(b, out), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.GetAdapterStatus(b, out), DRAL_ERR_PARAMETER);
    EXPECT_EQ(api.RegAddressLostCallback(b, nullptr), DRAL_ERR_PARAMETER);
  }
  EXPECT_EQ(api.ConfigFilter(h, nullptr), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetMessage(h, nullptr, 100), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.PutMessage(h, nullptr, 13), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.ClaimAddress(h, 2, 0x80, nullptr), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetAdapterVersion(h, nullptr), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetAdapterStatus(h, nullptr), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.ClaimAddress(h, 2, 254, name), DRAL_ERR_ADDRESS_RANGE);
  EXPECT_EQ(api.ReleaseAddress(h, 9), DRAL_OK);
  EXPECT_EQ(api.RegAddressLostCallback(h, nullptr), DRAL_OK);
  // Lengths that no protocol accepts, for every protocol byte: an error, and nothing read
  // beyond what the length allows.
  for (int protocol = 0; protocol < 256; ++protocol) {
    big[0] = static_cast<uint8_t>(protocol);
    for (uint16_t length : {uint16_t{0}, uint16_t{1}, uint16_t{0x7FFF}, uint16_t{0xFFFF}}) {
      const uint32_t r = api.PutMessage(h, big.data(), length);
      EXPECT_TRUE(r == DRAL_ERR_LENGTH || r == DRAL_ERR_SEND_FAILED)
          << "protocol " << protocol << " length " << length << " -> " << r;
    }
  }
  for (uint16_t size : {uint16_t{0}, uint16_t{1}, uint16_t{0x7FFF}, uint16_t{0xFFFF}}) {
    EXPECT_EQ(api.GetMessage(h, big.data(), size), 0u);
  }
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(LibraryTest, PutMessageChecksTheLengthOfEachProtocol) {
  if (Role() != kChild) return RunChild();
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  std::vector<uint8_t> m(0x10000, 0);
  auto put = [&](uint8_t protocol, uint16_t length) {
    m[0] = protocol;
    return api.PutMessage(h, m.data(), length);
  };
  EXPECT_EQ(put(1, 4), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(0x81, 4), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(3, 2), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(2, 6), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(5, 1793), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(7, 13), DRAL_ERR_SEND_FAILED);
  EXPECT_EQ(put(1, 0x8000), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(0x84, 14), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(3, 508), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(DRAL_PROTOCOL_RAW, 1), DRAL_ERR_LENGTH);
  EXPECT_EQ(put(DRAL_PROTOCOL_RAW, 2051), DRAL_ERR_LENGTH);
  // In range: the records go into the ring (no server needed for that).
  EXPECT_EQ(put(1, 5), DRAL_OK);
  EXPECT_EQ(put(0x84, 13), DRAL_OK);
  EXPECT_EQ(put(2, 15), DRAL_OK);
  EXPECT_EQ(put(3, 507), DRAL_OK);
  EXPECT_EQ(put(3, 3), DRAL_OK);
  EXPECT_EQ(put(DRAL_PROTOCOL_RAW, 2), DRAL_OK);
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(LibraryTest, GetMessageAnswersANullBufferAndAnEmptyQueueAtOnce) {
  if (Role() != kChild) return RunChild();
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  uint8_t buffer[64];
  EXPECT_EQ(api.GetMessage(h, nullptr, sizeof buffer), DRAL_ERR_PARAMETER);
  const auto start = Clock::now();
  EXPECT_EQ(api.GetMessage(h, buffer, sizeof buffer), 0u);
  EXPECT_LT(MsSince(start), 50);
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(LibraryTest, ConfigFilterRejectsAnUnknownProtocolBeforeSendingAnything) {
  if (Role() != kChild) return RunChild();
  dral::THuxQueue observer(false, 0);  // sees the ring; not a server
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  const int slot = __builtin_ctz(observer.Block()->Header.SlotMask.load());
  DralFilter filter{};
  filter.Operation = DRAL_FILTER_PASS_ALL;
  for (uint8_t protocol : {0x06, 0x00, 0x07, 0x0F, 0x86}) {
    filter.Protocol = protocol;
    const auto start = Clock::now();
    EXPECT_EQ(api.ConfigFilter(h, &filter), DRAL_ERR_FILTER_INVALID) << int(protocol);
    EXPECT_LT(MsSince(start), 100);
  }
  filter.Protocol = DRAL_PROTOCOL_CAN2;
  filter.Operation = 0x05;
  EXPECT_EQ(api.ConfigFilter(h, &filter), DRAL_ERR_FILTER_INVALID);
  EXPECT_EQ(observer.Count(&observer.Slot(slot)->ToServer), 0u);
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  Unload(api);
}

TEST_F(LibraryTest, HandleIsRejectedAfterDisconnect) {
  if (Role() != kChild) return RunChild();
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(api.Disconnect(h), DRAL_OK);
  uint8_t buffer[16] = {DRAL_PROTOCOL_CAN1};
  DralFilter filter = dral_test::PassAll(DRAL_PROTOCOL_CAN1);
  EXPECT_EQ(api.Disconnect(h), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetStatus(h), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetMessage(h, buffer, sizeof buffer), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.PutMessage(h, buffer, 5), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.ConfigFilter(h, &filter), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.GetAdapterStatus(h, buffer), DRAL_ERR_PARAMETER);
  // A new connection gets a new handle; the old one stays dead.
  const DRAL_Handle again = api.Connect();
  ASSERT_NE(again, 0u);
  EXPECT_NE(again, h);
  EXPECT_EQ(api.GetStatus(h), DRAL_ERR_PARAMETER);
  EXPECT_EQ(api.Disconnect(again), DRAL_OK);
  Unload(api);
}

TEST_F(LibraryTest, AdapterStatusCountsTheConnectionsOfAllProcesses) {
  if (Role() == "holder") {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    Touch(Marker("holder-connected"));
    EXPECT_TRUE(WaitUntil([&] { return Exists(Marker("done")); }, kMarkerTimeoutMs));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
    return;
  }
  if (Role() == "asker") {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    DralAdapterStatus status{};
    EXPECT_EQ(api.GetAdapterStatus(h, reinterpret_cast<uint8_t*>(&status)), DRAL_OK);
    EXPECT_EQ(status.Connections, 3);
    EXPECT_EQ(status.LinkState, DRAL_LINK_NO_SERVER & 0xFF);
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
    return;
  }
  dral::THuxQueue own(true);  // a connection of this process
  ASSERT_GE(own.SlotIndex(), 0);
  const pid_t holder = Spawn("holder");
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("holder-connected")); }, kMarkerTimeoutMs));
  RunChild("asker");
  Touch(Marker("done"));
  EXPECT_EQ(dral_test::WaitChild(holder, kChildTimeoutMs), 0);
  EXPECT_EQ(own.Block()->Header.SlotMask.load(), 1u << own.SlotIndex());
}

TEST_F(LibraryTest, DisconnectWhileOtherThreadsUseTheHandleIsSafe) {
  if (Role() != kChild) return RunChild();
  Api api = Load();
  for (int round = 0; round < 5; ++round) {
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> calls[4] = {};
    std::vector<std::thread> users;
    for (int t = 0; t < 4; ++t) {
      users.emplace_back([&, t] {
        uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH] = {DRAL_PROTOCOL_CAN1};
        while (!stop.load()) {
          uint32_t r = 0;
          switch (t) {
            case 0:
              r = api.PutMessage(h, buffer, 5);
              break;
            case 1:
              r = api.GetMessage(h, buffer, sizeof buffer);
              break;
            case 2:
              r = api.GetStatus(h);
              break;
            default:
              r = api.GetAdapterStatus(h, buffer);
              break;
          }
          const bool ok = r == DRAL_ERR_PARAMETER || r == DRAL_OK || r == DRAL_ERR_SEND_FAILED ||
                          r == 0 || r == (DRAL_OK | DRAL_LINK_NO_SERVER);
          if (!ok) unexpected.fetch_add(1);
          calls[t].fetch_add(1);
        }
      });
    }
    // Every user calls before and after the disconnect.
    const auto allCalledSince = [&](const int (&seen)[4]) {
      for (int t = 0; t < 4; ++t) {
        if (calls[t].load() < seen[t] + 10) return false;
      }
      return true;
    };
    const int none[4] = {};
    EXPECT_TRUE(WaitUntil([&] { return allCalledSince(none); }, 5000));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    const int atDisconnect[4] = {calls[0].load(), calls[1].load(), calls[2].load(),
                                 calls[3].load()};
    EXPECT_TRUE(WaitUntil([&] { return allCalledSince(atDisconnect); }, 5000));
    EXPECT_EQ(api.GetStatus(h), DRAL_ERR_PARAMETER);
    stop.store(true);
    for (auto& u : users) u.join();
    EXPECT_EQ(unexpected.load(), 0);
  }
  Unload(api);
}

// ---- Unload ---------------------------------------------------------------------------------

TEST_F(LibraryTest, UnloadClosesConnectionsLeftOpenWithoutHanging) {
  if (Role() != kChild) return RunChild();
  dral::THuxQueue observer(false, 0);
  Api api = Load();
  ASSERT_NE(api.Connect(), 0u);
  ASSERT_NE(api.Connect(), 0u);
  EXPECT_EQ(__builtin_popcount(observer.Block()->Header.SlotMask.load()), 2);
  const auto start = Clock::now();
  Unload(api);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(observer.Block()->Header.SlotMask.load(), 0u);
}

// A multi-packet send runs on a thread of its own in the library's code: the unload ends it and
// waits for it, or the thread would wake in unmapped code (its packets go 50 ms apart).
TEST_F(LibraryTest, UnloadEndsAMultiPacketSendStillRunning) {
  if (Role() != kChild) return RunChild();
  dral::THuxQueue observer(false, 0);
  Api api = Load();
  const DRAL_Handle h = api.Connect();
  ASSERT_NE(h, 0u);
  dral::ClientSlot* slot = observer.Slot(__builtin_ctz(observer.Block()->Header.SlotMask.load()));
  Bytes broadcast(DRAL_J1939_MAX_LENGTH, 0x55);  // 255 packets: about 13 s
  broadcast[0] = DRAL_PROTOCOL_J1939_CAN1;
  broadcast[4] = DRAL_J1939_BROADCAST;
  ASSERT_EQ(dral_test::Put(api, h, broadcast), DRAL_OK);
  ASSERT_TRUE(WaitUntil([&] { return observer.Count(&slot->ToServer) >= 3; }, 5000));
  const auto start = Clock::now();
  Unload(api);
  EXPECT_LT(MsSince(start), 3000);
  // A claim waits 250 ms in a fresh load: time enough for a send left running to wake.
  Api again = Load();
  const DRAL_Handle h2 = again.Connect();
  const uint8_t name[8] = {};
  EXPECT_EQ(again.ClaimAddress(h2, DRAL_PROTOCOL_J1939_CAN1, 0x80, name), DRAL_OK);
  Unload(again);
}

TEST_F(LibraryTest, ProcessExitClosesConnectionsLeftOpen) {
  if (Role() == kChild) {
    Api api = Load();
    ASSERT_NE(api.Connect(), 0u);
    ASSERT_NE(api.Connect(), 0u);
    Touch(Marker("connected"));
    return;  // the process ends with the library loaded and both connections open
  }
  dral::THuxQueue observer(false, 0);
  const pid_t child = Spawn(kChild);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("connected")); }, kMarkerTimeoutMs));
  const auto start = Clock::now();
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(observer.Block()->Header.SlotMask.load(), 0u);
}

// Gates that address-lost callbacks wait at (for 15 s at most) while the main thread holds
// them. Never freed: a callback may still wait at one while the process exits.
std::mutex& Gate(int n) {
  static auto* const gates = new std::mutex[2];
  return gates[n];
}
std::atomic<bool> gAtGate[2];
template <int N>
void WaitAtGate(uint32_t /*address*/) {
  gAtGate[N].store(true);
  if (WaitUntil([] { return Gate(N).try_lock(); }, 15000)) Gate(N).unlock();
}

// Two connections lose their address, and each callback waits for a lock that the main thread
// holds. DRAL_Disconnect of the first gives its receive thread up and returns; the callback
// pinned the library, so the dlclose leaves it loaded, and the thread runs on in it once its
// callback returns. The unload, now at process exit, gives up the second connection's thread.
TEST_F(LibraryTest, DisconnectAndUnloadGiveUpOnACallbackWaitingForTheMainThread) {
  if (Role() == kChild) {
    dral::THuxQueue observer(false, 0);
    Api api = Load();
    const uint8_t ours[8] = {0x10, 0, 0, 0, 0, 0, 0, 0x40};
    const uint8_t lower[8] = {0x20, 0, 0, 0, 0, 0, 0, 0x3F};
    const DRAL_AddressLostCallback callbacks[2] = {&WaitAtGate<0>, &WaitAtGate<1>};
    DRAL_Handle handles[2] = {};
    dral::ClientSlot* slots[2] = {};
    for (int n = 0; n < 2; ++n) {
      const uint16_t before = observer.Block()->Header.SlotMask.load();
      handles[n] = api.Connect();
      ASSERT_NE(handles[n], 0u);
      slots[n] = observer.Slot(std::countr_zero<uint16_t>(
          static_cast<uint16_t>(observer.Block()->Header.SlotMask.load() & ~before)));
      ASSERT_EQ(api.RegAddressLostCallback(handles[n], callbacks[n]), DRAL_OK);
      // What a server stores of the claim; a claim with a lower NAME then takes the address.
      for (int i = 0; i < 8; ++i) slots[n]->Claimed[0].Name[i].store(ours[i]);
      slots[n]->Claimed[0].Address.store(0x80);
      ASSERT_EQ(api.ClaimAddress(handles[n], DRAL_PROTOCOL_J1939_CAN1, 0x80, ours), DRAL_OK);
      Gate(n).lock();
      const dral::HuxMessage contest =
          dral::j1939::AddressClaimRecord(dral::kChannelBit1, 0x80, lower);
      ASSERT_TRUE(observer.Put(&slots[n]->ToClient, &contest));
      ASSERT_TRUE(WaitUntil([&] { return gAtGate[n].load(); }, 5000));
    }
    const auto start = Clock::now();
    EXPECT_EQ(api.Disconnect(handles[0]), DRAL_OK);
    EXPECT_LT(MsSince(start), 5000);
    Unload(api);
    void* still = dlopen((LibDir() + "/libDRAL.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(still, nullptr) << "the library was unloaded under a thread in its callback";
    if (still) dlclose(still);
    // The first callback returns; its thread takes the contest off the ring and ends. A later
    // connect then frees what was kept for it: only the second connection and the new one
    // hold slots.
    Gate(0).unlock();
    EXPECT_TRUE(WaitUntil([&] { return observer.Count(&slots[0]->ToClient) == 0; }, 5000));
    Api again = Load();
    EXPECT_TRUE(WaitUntil(
        [&] {
          const DRAL_Handle h = again.Connect();
          const int held = std::popcount(observer.Block()->Header.SlotMask.load());
          again.Disconnect(h);
          return h != 0 && held == 2;
        },
        5000));
    Unload(again);
    Touch(Marker("exiting"));
    return;  // with the second connection open and its callback waiting at the gate
  }
  const pid_t child = Spawn(kChild);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("exiting")); }, kMarkerTimeoutMs));
  const auto start = Clock::now();
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  EXPECT_LT(MsSince(start), 9000);  // not the 15 s the callback waits
}

// ---- Fork -----------------------------------------------------------------------------------

// An application forks with a live connection. The children (one that exits, one that connects
// on its own and exits, one that execs a program using the library) inherit the connection and
// the attach count, which belong to the application: they leave them alone.
TEST_F(LibraryTest, AForkedChildLeavesItsParentsConnectionAndCountAlone) {
  if (Role() == "exec") {
    Api api = Load();
    const DRAL_Handle own = api.Connect();
    ASSERT_NE(own, 0u);
    uint8_t status[6] = {};
    EXPECT_EQ(api.GetAdapterStatus(own, status), DRAL_OK);
    EXPECT_EQ(status[1], 2) << "the application's slot and this one";
    EXPECT_EQ(api.Disconnect(own), DRAL_OK);
    Unload(api);
    return;
  }
  if (Role() == "app") {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    DralFilter passAll = dral_test::PassAll(DRAL_PROTOCOL_CAN1);
    api.ConfigFilter(h, &passAll);  // no server answers; the filter counts as used all the same
    Touch(Marker("app-ready"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("fork")); }, kMarkerTimeoutMs));

    auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) exit(0);  // the library's unload runs in the child
    ASSERT_GT(child, 0);
    EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
    // Well under the 5 s that one inherited connection cost when the child waited for its thread.
    EXPECT_LT(MsSince(start), 2500) << "the child's exit waited for the application's threads";

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer does not support threads after a fork
    child = fork();
    if (child == 0) {
      bool ok = api.GetStatus(h) == DRAL_ERR_PARAMETER;  // the inherited handle is not the child's
      const DRAL_Handle own = api.Connect();
      uint8_t status[6] = {};
      ok = ok && own != 0 && api.GetAdapterStatus(own, status) == DRAL_OK && status[1] == 2;
      ok = ok && api.Disconnect(own) == DRAL_OK;
      exit(ok ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0) << "the child's own connection";
#endif

    child = dral_test::ForkExecSelf(dral_test::CurrentTestFilter(), "exec");
    ASSERT_GT(child, 0);
    EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
    Touch(Marker("forked"));

    uint8_t message[32];
    EXPECT_TRUE(WaitUntil([&] { return api.GetMessage(h, message, sizeof message) > 0; },
                          kMarkerTimeoutMs))
        << "the application no longer receives";
    Touch(Marker("received"));
    ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("done")); }, kMarkerTimeoutMs));
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
    return;
  }

  Applications apps;
  const pid_t app = apps.Start("app");
  ASSERT_GT(app, 0);
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("app-ready")); }, kMarkerTimeoutMs));
  auto observer = std::make_unique<dral::THuxQueue>(false, 0);
  dral::ChannelHeader& header = observer->Block()->Header;
  const uint16_t mask = header.SlotMask.load();
  ASSERT_EQ(std::popcount(mask), 1);
  const int slot = std::countr_zero(mask);
  dral::ClientSlot& record = *observer->Slot(slot);
  const uint16_t requests = observer->Count(&record.ToServer);  // the filter request
  EXPECT_EQ(header.AttachCount.load(), 1);

  Touch(Marker("fork"));
  ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("forked")); }, kMarkerTimeoutMs));
  EXPECT_EQ(header.AttachCount.load(), 1);
  EXPECT_EQ(header.SlotMask.load(), mask);
  EXPECT_EQ(observer->Count(&record.ToServer), requests) << "edits put into the application's slot";

  dral::HuxMessage frame{};
  frame.Type = dral::MsgCanFrame;
  frame.Length = 8;
  frame.Data[0] = dral::kChannelBit1 | dral::kExtendedIdBit;
  ASSERT_TRUE(observer->Put(&record.ToClient, &frame));
  int error = 0;
  auto event = plat::NamedEvent::Open(dral::ClientEventName(slot), &error);
  ASSERT_TRUE(event);
  EXPECT_TRUE(WaitUntil(
      [&] {
        event->Pulse();
        return Exists(Marker("received"));
      },
      kMarkerTimeoutMs));

  // The application is now the only holder of the block: its name must still be there.
  event.reset();
  observer.reset();
  EXPECT_TRUE(std::filesystem::exists("/dev/shm" + plat::PosixObjectName(std::string(dral::kGlobalPrefix) + dral::kChannelName)))
      << "the block's name was removed under the application";
  Touch(Marker("done"));
  EXPECT_EQ(apps.Wait(app), 0);
}

}  // namespace
