#include "links/Usb.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LinkTestUtil.h"
#include "links/UsbConduit.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::Clock;
using dral_test::MsSince;
using dral_test::ReadFile;
using dral_test::Received;
using dral_test::SimSocketDevice;
using dral_test::TestRegistrar;
using dral_test::WaitUntil;
using Bytes = std::vector<uint8_t>;

std::string Entry(const std::string& name) {
  return dral_test::DeviceEntry(TUsbPort::kInterfaceClass, name);
}

// An entry that looks like a device but that nobody serves: a socket whose listener is gone.
void MakeStaleSocketEntry(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((seed * 131 + i * 7) & 0xFF);
  return b;
}

class UsbLinkTest : public dral_test::IsolatedTest {};

// --- hunting -------------------------------------------------------------------------------

TEST_F(UsbLinkTest, PortHuntsAboutEvery15msWhileNoDeviceIsPresent) {
  TUsbConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->Enumerations() >= 2; }));
  // The time 40 enumerations take, from one enumeration to another.
  const uint32_t before = link.Port()->Enumerations();
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->Enumerations() > before; }));
  const uint32_t first = link.Port()->Enumerations();
  const auto start = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->Enumerations() >= first + 40; }, 10000));
  const uint32_t count = link.Port()->Enumerations() - first;
  const int64_t elapsed = MsSince(start);

  ASSERT_GT(count, 0u);
  const double interval = static_cast<double>(elapsed) / count;
  // The lower bound holds on any machine; a loaded one only stretches the pace, so the upper
  // bound only tells a pace of about 15 ms from one several times slower.
  EXPECT_GE(interval, 14.0) << count << " enumerations in " << elapsed << " ms";
  EXPECT_LE(interval, 80.0) << count << " enumerations in " << elapsed << " ms";
  EXPECT_EQ(link.Port()->OpenAttempts(), 0u);
  EXPECT_FALSE(link.Open("", ""));
  EXPECT_FALSE(link.IsOpen());
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(link.Write(bytes, 3), 0);
  EXPECT_EQ(link.PortName(), "USB DLA");
  EXPECT_EQ(link.PortInfo(), "USB Full Speed");
}

// An entry that cannot be opened (here: a socket nobody listens on any more) is retried at the
// hunting pace instead of in a tight loop.
TEST_F(UsbLinkTest, DeviceThatCannotBeOpenedIsRetriedAtTheHuntingPace) {
  MakeStaleSocketEntry(Entry("stale"));
  TUsbConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->OpenAttempts() >= 2; }));
  // The time 20 attempts take, from one attempt to another.
  const uint32_t before = link.Port()->OpenAttempts();
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->OpenAttempts() > before; }));
  const uint32_t first = link.Port()->OpenAttempts();
  const auto start = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->OpenAttempts() >= first + 20; }, 10000));
  const double interval =
      static_cast<double>(MsSince(start)) / (link.Port()->OpenAttempts() - first);
  EXPECT_GE(interval, 11.0);
  EXPECT_LE(interval, 80.0);  // loose for the same reason as the hunting pace
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(UsbLinkTest, OnlyTheFirstOfTwoDevicesIsOpenedAndUsed) {
  SimSocketDevice first(Entry("dev-a"));
  SimSocketDevice second(Entry("dev-b"));
  ASSERT_TRUE(first.Listening() && second.Listening());
  TUsbConduit link;
  ASSERT_TRUE(first.Accept(3000));
  ASSERT_TRUE(WaitUntil([&] { return link.Open("", ""); }));

  const Bytes out = Pattern(40, 1);
  EXPECT_EQ(link.Write(out.data(), static_cast<int>(out.size())), 40);
  EXPECT_EQ(first.Receive(100, 2000), out);
  EXPECT_FALSE(second.Accept(300)) << "the second device was opened too";
}

// --- receive handler -----------------------------------------------------------------------

TEST_F(UsbLinkTest, HandlerInstalledBeforeOrAfterTheOpenReceivesTheBlocks) {
  Received before;
  Received after;
  TUsbConduit link;
  link.SetReceiveHandler(before.Handler());  // no device yet

  SimSocketDevice device(Entry("adapter"));
  ASSERT_TRUE(device.Accept(3000));
  ASSERT_TRUE(WaitUntil([&] { return link.Open("", ""); }));
  const Bytes first = Pattern(100, 2);
  ASSERT_TRUE(device.Send(first));
  ASSERT_TRUE(before.WaitForBytes(first.size(), 2000));
  EXPECT_EQ(before.Bytes(), first);

  link.SetReceiveHandler(after.Handler());  // the receive thread is running
  const Bytes second = Pattern(3000, 3);    // more than one read's buffer
  ASSERT_TRUE(device.Send(second));
  ASSERT_TRUE(after.WaitForBytes(second.size(), 2000));
  EXPECT_EQ(after.Bytes(), second);
  EXPECT_GE(after.Calls(), 2) << "a block is at most 2048 bytes";
  EXPECT_EQ(before.Bytes().size(), first.size());
}

TEST_F(UsbLinkTest, CloseDetachesTheHandlerAndOpenReportsTheSameDeviceAtOnce) {
  Received received;
  TUsbConduit link;
  SimSocketDevice device(Entry("adapter"));
  ASSERT_TRUE(device.Accept(3000));
  ASSERT_TRUE(WaitUntil([&] { return link.Open("", ""); }));
  link.SetReceiveHandler(received.Handler());

  link.Close();
  EXPECT_FALSE(link.Handler().IsSet());
  ASSERT_TRUE(device.Send(Pattern(10, 4)));  // dropped: no handler

  EXPECT_TRUE(link.Open("", "")) << "the device stayed open";
  EXPECT_TRUE(link.IsOpen());
  // Bytes sent later reach a new handler; the receive thread handles bytes in order, so the
  // detached handler would have had the earlier ones by then.
  Received later;
  link.SetReceiveHandler(later.Handler());
  const Bytes marker = Pattern(6, 6);
  ASSERT_TRUE(device.Send(marker));
  ASSERT_TRUE(WaitUntil([&] {
    const Bytes got = later.Bytes();
    return got.size() >= marker.size() && std::equal(marker.rbegin(), marker.rend(), got.rbegin());
  }));
  EXPECT_EQ(received.Calls(), 0);

  EXPECT_FALSE(device.Accept(200)) << "the device was opened again";
  const Bytes out = Pattern(8, 5);
  EXPECT_EQ(link.Write(out.data(), 8), 8);
  EXPECT_EQ(device.Receive(100, 2000), out);
}

// --- writes --------------------------------------------------------------------------------

// The device stops taking bytes: a write that does not complete within 100 ms is cancelled
// and reports only what went out, so the caller never sends a byte twice.
TEST_F(UsbLinkTest, WriteTheDeviceDoesNotCompleteIsCancelledAfter100ms) {
  TUsbConduit link;
  SimSocketDevice device(Entry("adapter"));
  ASSERT_TRUE(device.Accept(3000));
  ASSERT_TRUE(WaitUntil([&] { return link.Open("", ""); }));

  // Fill the device's buffers; the write that no longer fits returns the part that did.
  Bytes expected;
  constexpr int kBlock = 64 * 1024;
  int returned = kBlock;
  for (uint32_t i = 0; i < 200 && returned == kBlock; ++i) {
    const Bytes block = Pattern(kBlock, i);
    returned = link.Write(block.data(), kBlock);
    ASSERT_GE(returned, 0);
    ASSERT_LE(returned, kBlock);
    expected.insert(expected.end(), block.begin(), block.begin() + returned);
  }
  ASSERT_LT(returned, kBlock) << "the device never filled up";

  // Several writes that time out: each waits its 100 ms, and the middle one of them stays
  // well short of what a longer wait (a slip to 300 ms or more) would take, even under load.
  const Bytes last = Pattern(512, 999);
  std::vector<int64_t> waits;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    const int took = link.Write(last.data(), 512);
    waits.push_back(MsSince(start));
    ASSERT_GE(took, 0);
    ASSERT_LT(took, 512) << "the full device took a whole block";
    expected.insert(expected.end(), last.begin(), last.begin() + took);
  }
  std::sort(waits.begin(), waits.end());
  EXPECT_GE(waits.front(), 95);
  EXPECT_LT(waits[waits.size() / 2], 250) << "median of the time-outs";
  EXPECT_TRUE(link.IsOpen()) << "a slow device is no lost device";

  // Everything the device receives is exactly what the writes reported.
  Bytes got;
  for (;;) {
    Bytes chunk = device.Receive(256 * 1024, 300);
    if (chunk.empty()) break;
    got.insert(got.end(), chunk.begin(), chunk.end());
  }
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

// --- removal -------------------------------------------------------------------------------

// A device that cannot hang up (a FIFO, which loops the written bytes back) goes away: the
// registrar's notice closes it, the port hunts again and opens it when it comes back.
TEST_F(UsbLinkTest, RemovalNoticeClosesTheDeviceAndTheComebackIsFound) {
  TestRegistrar registrar;
  const std::string path = Entry("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  Received received;
  TUsbConduit link;
  link.SetReceiveHandler(received.Handler());
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  EXPECT_EQ(registrar.Registrations(), 1);
  EXPECT_EQ(registrar.Device(), link.Port()->DeviceHandle.load());

  const Bytes out = Pattern(64, 6);
  EXPECT_EQ(link.Write(out.data(), 64), 64);
  ASSERT_TRUE(received.WaitForBytes(64, 2000));
  EXPECT_EQ(received.Bytes(), out);

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return !link.IsOpen(); }, 3000));
  ASSERT_TRUE(WaitUntil([&] { return registrar.HandlerCalls() == 1; }, 1000));
  ASSERT_TRUE(WaitUntil([&] { return link.Port()->DeviceHandle.load() == 0; }, 1000));
  EXPECT_EQ(registrar.Unregistrations(), 1);
  EXPECT_FALSE(registrar.Registered());
  EXPECT_EQ(link.Write(out.data(), 64), 0);

  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  EXPECT_EQ(registrar.Registrations(), 2);
  EXPECT_EQ(link.Write(out.data(), 64), 64);
  ASSERT_TRUE(received.WaitForBytes(128, 2000));
}

// Without any notice (no registrar), a device that hangs up is closed as removed, and the port
// opens it again while it still listens.
TEST_F(UsbLinkTest, HangUpWithoutNoticeClosesTheDeviceAndItIsOpenedAgain) {
  ASSERT_EQ(DeviceRegistrar(), nullptr);
  TUsbConduit link;
  SimSocketDevice device(Entry("adapter"));
  ASSERT_TRUE(device.Accept(3000));
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  const plat::DeviceHandle firstHandle = link.Port()->DeviceHandle.load();

  device.HangUp();
  ASSERT_TRUE(device.Accept(3000)) << "the port did not open the device again";
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  EXPECT_NE(link.Port()->DeviceHandle.load(), firstHandle);
  const Bytes out = Pattern(16, 7);
  EXPECT_EQ(link.Write(out.data(), 16), 16);
  EXPECT_EQ(device.Receive(100, 2000), out);
}

// --- log file ------------------------------------------------------------------------------

TEST_F(UsbLinkTest, LogFileHasTheConnectionTextsOnlyWhenLoggingIsOn) {
  const std::string logFile = env_.TempDir() + "/usb.log";
  const std::string quietFile = env_.TempDir() + "/quiet.log";
  SimSocketDevice device(Entry("adapter"));
  {
    TUsbPort quiet;
    quiet.LogFileName = quietFile;
    quiet.Start();
    ASSERT_TRUE(device.Accept(3000));
    ASSERT_TRUE(WaitUntil([&] { return quiet.Connected.load(); }));
    const uint8_t bytes[] = {0x7E, 0xA5};
    EXPECT_EQ(quiet.Write(bytes, 2), 2);
  }
  EXPECT_FALSE(std::filesystem::exists(quietFile));
  {
    TUsbPort port;
    port.LogFileName = logFile;
    port.LogEnabled = true;
    port.Start();
    ASSERT_TRUE(device.Accept(3000));
    ASSERT_TRUE(WaitUntil([&] { return port.Connected.load(); }));
    const uint8_t bytes[] = {0x01, 0xA0, 0xFF};
    EXPECT_EQ(port.Write(bytes, 3), 3);
    ASSERT_TRUE(device.Send({0x7E, 0xA6}));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(logFile).find("R 02 | 7E A6 ") != std::string::npos; }));
  }
  const std::string log = ReadFile(logFile);
  for (const char* text : {"The Usb Enumeration returned 1 device(s).", "USB Rx Thread starting.",
                           "T 03 | 01 A0 FF \n", "R 02 | 7E A6 \n", "USB Rx Thread stopping.",
                           "The Usb connection object is terminating.",
                           "Closing the handle to the USB DLA device."}) {
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  }
  EXPECT_NE(log.find(" " + device.Path() + "\n"), std::string::npos) << log;
}

TEST_F(UsbLinkTest, ServerLoggingSwitchTurnsThePortLogOn) {
  const std::string logFile = env_.TempDir() + "/usb.log";
  MakeStaleSocketEntry(Entry("stale"));
  TUsbPort port;
  port.LogFileName = logFile;
  port.ServerLogging = true;
  port.Start();
  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(logFile).find("Unable to open a handle to the USB DLA device.") !=
           std::string::npos;
  }));
}

TEST_F(UsbLinkTest, LinkPassesTheLoggingChoiceToItsPort) {
  TUsbConduit link;
  EXPECT_FALSE(link.Port()->ServerLogging.load());
  link.SetLogging(true);
  EXPECT_TRUE(link.Port()->ServerLogging.load());
  link.SetLogging(false);
  EXPECT_FALSE(link.Port()->ServerLogging.load());
}

}  // namespace
}  // namespace dral
