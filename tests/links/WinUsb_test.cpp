#include "links/WinUsb.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "LinkTestUtil.h"
#include "links/WinUsbConduit.h"
#include "testsupport/FakeLibusb.h"
#include "testsupport/PtyPair.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::Received;
using dral_test::ScopedEnv;
using dral_test::SimSocketDevice;
using dral_test::SimWinUsbDevice;
using dral_test::TestRegistrar;
using dral_test::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Endpoints = std::vector<SimWinUsbDevice::Endpoint>;

constexpr uint8_t kBulk = 2;
constexpr uint8_t kInterrupt = 3;

std::string Entry(const std::string& name) {
  return dral_test::DeviceEntry(TWinUsbPort::kInterfaceClass, name);
}

SimWinUsbDevice::Options WithEndpoints(Endpoints endpoints) {
  SimWinUsbDevice::Options options;
  options.Endpoints = std::move(endpoints);
  return options;
}

class WinUsbLinkTest : public dral_test::IsolatedTest {
 protected:
  ScopedEnv library_{plat::kWinUsbLibraryVar, DRAL_WINUSB_LIBRARY_PATH};
};

TEST_F(WinUsbLinkTest, DeviceOpensWithItsPipesListedInEitherOrder) {
  struct Case {
    const char* name;
    Endpoints endpoints;
    uint8_t in, out;
  };
  const Case cases[] = {
      {"in-first", {{0x81, kBulk, 64, 0}, {0x02, kBulk, 64, 0}}, 0x81, 0x02},
      {"out-first", {{0x03, kBulk, 64, 0}, {0x84, kBulk, 64, 0}}, 0x84, 0x03},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimWinUsbDevice device(Entry(c.name), WithEndpoints(c.endpoints));
    Received received;
    {
      TWinUsbConduit link;
      link.SetReceiveHandler(received.Handler());
      ASSERT_TRUE(WaitUntil([&] { return link.Open("", ""); }));
      EXPECT_EQ(link.Port()->InPipeId.load(), c.in);
      EXPECT_EQ(link.Port()->OutPipeId.load(), c.out);
      EXPECT_EQ(link.PortName(), "USB DLA");
      EXPECT_EQ(link.PortInfo(), "USB Full Speed");

      const Bytes out = {0x7E, 0xA5, 0x04, 0xFC, 0x7E, 0xA6};
      EXPECT_EQ(link.Write(out.data(), static_cast<int>(out.size())), 6);
      const auto transfer = device.ReceiveOut(2000);
      ASSERT_TRUE(transfer.has_value());
      EXPECT_EQ(transfer->Endpoint, c.out);
      EXPECT_EQ(transfer->Data, out);

      const Bytes in = {1, 2, 3, 4, 5};
      ASSERT_TRUE(device.SendIn(c.in, in));
      ASSERT_TRUE(received.WaitForBytes(in.size(), 2000));
      EXPECT_EQ(received.Bytes(), in);
    }
  }
}

// The entry is no WinUSB device (a stream socket): initialisation fails, and the device file
// is closed again before the next cycle tries the same path.
TEST_F(WinUsbLinkTest, FailedInitialisationLeavesNoDeviceFileOpen) {
  SimSocketDevice device(Entry("not-winusb"), SOCK_STREAM);
  TWinUsbConduit link;
  ASSERT_TRUE(device.Accept(3000));
  const int peer = device.Peer();
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t byte = 0;
    return recv(peer, &byte, 1, MSG_DONTWAIT) == 0;  // end of stream: the host closed its end
  }, 2000)) << "the device file stayed open";
  EXPECT_TRUE(device.Accept(3000)) << "the next cycle did not try again";
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(WinUsbLinkTest, DeviceWithoutBulkInPipeNeverConnects) {
  SimWinUsbDevice device(Entry("no-in"),
                         WithEndpoints({{0x81, kInterrupt, 8, 1}, {0x02, kBulk, 64, 0}}));
  TWinUsbConduit link;
  bool everOpen = false;
  ASSERT_TRUE(WaitUntil([&] {
    everOpen = everOpen || link.IsOpen();
    return device.DescribeCount() >= 4;
  }));
  EXPECT_FALSE(everOpen);
  EXPECT_FALSE(link.Open("", ""));
  // Tried at the hunting pace: a few attempts in 300 ms, not hundreds.
  const int before = device.DescribeCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(device.DescribeCount() - before, 30);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(WinUsbLinkTest, DeviceWithoutOutPipeConnectsButWritesFail) {
  SimWinUsbDevice device(Entry("in-only"), WithEndpoints({{0x81, kBulk, 64, 0}}));
  TWinUsbConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  EXPECT_EQ(link.Port()->OutPipeId.load(), TWinUsbPort::kNoPipe);
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(link.Write(bytes, 3), 0);
  EXPECT_TRUE(link.IsOpen());
}

// A device re-opened after a removal keeps the pipe ids found before until new pipes are found.
TEST_F(WinUsbLinkTest, PipeIdsAreKeptAcrossARemovalAndReopen) {
  TestRegistrar registrar;
  const std::string path = Entry("adapter");
  TWinUsbConduit link;
  Received received;
  link.SetReceiveHandler(received.Handler());
  {
    SimWinUsbDevice first(path);  // bulk IN 0x81, bulk OUT 0x02
    ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
    EXPECT_EQ(registrar.Registrations(), 1);
    EXPECT_EQ(registrar.Device(), link.Port()->DeviceHandle.load());
  }  // removed: the entry goes and the connection hangs up
  ASSERT_TRUE(WaitUntil([&] { return !link.IsOpen(); }, 3000));
  ASSERT_TRUE(WaitUntil([&] {
    return link.Port()->InterfaceHandle.load() == nullptr && link.Port()->DeviceHandle.load() == 0;
  }, 1000));
  EXPECT_EQ(registrar.Unregistrations(), 1);

  SimWinUsbDevice second(path, WithEndpoints({{0x83, kBulk, 64, 0}}));
  ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
  EXPECT_EQ(registrar.Registrations(), 2);
  EXPECT_EQ(link.Port()->InPipeId.load(), 0x83);
  EXPECT_EQ(link.Port()->OutPipeId.load(), 0x02);
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(link.Write(bytes, 3), 0) << "pipe 0x02 is no pipe of the new device";
  ASSERT_TRUE(second.SendIn(0x83, {9, 8, 7}));
  ASSERT_TRUE(received.WaitForBytes(3, 2000));
}

// --- a USB device node through libusb ---------------------------------------------------------

// An entry that is a USB device node (a pseudo-terminal stands in for it, the fake libusb plays
// the device): the link connects whichever place its bulk IN pipe has, moves bytes both ways,
// and takes a device that goes away for a removal.
TEST_F(WinUsbLinkTest, AUsbDeviceNodeConnectsOverLibUsbAndGoingAwayIsARemoval) {
  using dral_test::UsbInterfaceSpec;
  ScopedEnv libusb(plat::kLibUsbLibraryVar, dral_test::kFakeLibusbPath);
  dral_test::FakeLibusb usb;
  struct Case {
    const char* name;
    std::vector<UsbInterfaceSpec> interfaces;
    uint8_t in, out;
  };
  const Case cases[] = {
      {"in-first", {{0, 0, {{0x81, kBulk, 64, 0}, {0x02, kBulk, 64, 0}}}}, 0x81, 0x02},
      {"in-second",
       {{0, 0, {{0x03, kBulk, 512, 0}, {0x83, kInterrupt, 8, 1}, {0x84, kBulk, 512, 0}}},
        {1, 0, {{0x85, kBulk, 64, 0}}}},
       0x84,
       0x03},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dral_test::PtyPair node;
    const std::string entry = Entry(c.name);
    ASSERT_EQ(symlink(node.SlavePath().c_str(), entry.c_str()), 0);
    const int key = usb.Add(entry, dral_test::UsbConfiguration(c.interfaces));
    ASSERT_GT(key, 0);
    Received received;
    {
      TWinUsbConduit link;
      link.SetReceiveHandler(received.Handler());
      ASSERT_TRUE(WaitUntil([&] { return link.IsOpen(); }));
      EXPECT_EQ(link.Port()->InPipeId.load(), c.in);
      EXPECT_EQ(link.Port()->OutPipeId.load(), c.out);
      EXPECT_EQ(usb.Claimed(key), 0);

      const Bytes out = {0x7E, 0xA5, 0x04, 0x7E};
      EXPECT_EQ(link.Write(out.data(), static_cast<int>(out.size())), 4);
      const auto written = usb.TakeWritten(key);
      ASSERT_TRUE(written.has_value());
      EXPECT_EQ(written->Endpoint, c.out);
      EXPECT_EQ(written->Data, out);
      usb.Push(key, c.in, {1, 2, 3});
      ASSERT_TRUE(received.WaitForBytes(3, 2000));
      EXPECT_EQ(received.Bytes(), (Bytes{1, 2, 3}));

      usb.Vanish(key);
      ASSERT_TRUE(WaitUntil([&] { return !link.IsOpen(); }, 3000));
      ASSERT_TRUE(WaitUntil([&] { return link.Port()->InterfaceHandle.load() == nullptr; }, 1000));
    }
    ASSERT_EQ(unlink(entry.c_str()), 0);
  }
  EXPECT_EQ(usb.Live(), 0);
  EXPECT_EQ(usb.Misuse(), 0);
}

// --- the library -----------------------------------------------------------------------------

struct MissingLibraryCase {
  const char* name;
  std::string library;
};

class WinUsbMissingLibraryTest : public dral_test::IsolatedTest,
                                 public ::testing::WithParamInterface<MissingLibraryCase> {};

// Without a device the port keeps hunting; the first device it finds ends the port thread, and
// the link never connects.
TEST_P(WinUsbMissingLibraryTest, PortEndsOnlyWhenADeviceIsFound) {
  ScopedEnv library(plat::kWinUsbLibraryVar, GetParam().library);
  TWinUsbPort port;
  port.Start();
  ASSERT_TRUE(WaitUntil([&] { return port.Enumerations() >= 5; }));
  EXPECT_FALSE(port.Finished());

  SimWinUsbDevice device(Entry("adapter"));
  ASSERT_TRUE(WaitUntil([&] { return port.Finished(); }, 3000));
  EXPECT_FALSE(port.Connected.load());
  EXPECT_EQ(device.ConnectionCount(), 0) << "the device was opened";
  EXPECT_FALSE(port.LibraryLoaded());
}

INSTANTIATE_TEST_SUITE_P(
    Library, WinUsbMissingLibraryTest,
    ::testing::Values(MissingLibraryCase{"NoLibrary", "/nonexistent/libdral_winusb.so"},
                      MissingLibraryCase{"EntryPointMissing", LINKS_PARTIAL_WINUSB_PATH}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace dral
