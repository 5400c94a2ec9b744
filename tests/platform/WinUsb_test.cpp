// The WinUSB library (loaded as the link loads it) against simulated devices, and against USB
// device nodes through the fake libusb.
#include "plat/winusb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "device_test_util.h"
#include "plat/device_interface.h"
#include "plat/winusb_sim_protocol.h"
#include "testsupport/FakeLibusb.h"
#include "testsupport/PtyPair.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using Endpoint = dral_test::SimWinUsbDevice::Endpoint;

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// The library loaded from its build and a class folder; an entry of it opened as the link opens
// it, and the interface freed and the device file closed at the end.
class WinUsbLibraryTest : public dral_test::IsolatedTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.Load(DRAL_WINUSB_LIBRARY_PATH)) << lib_.Error();
    folder_ = plat_test::MakeClassFolder(plat_test::kWinUsbClass);
  }
  void TearDown() override {
    if (iface_) lib_.Free(iface_);
    if (handle_) plat::CloseDeviceFile(handle_);
  }

  // Opens `entry` as the link does: a device file, then a duplicate of its descriptor in fd_.
  void OpenEntry(const std::string& entry) {
    uint32_t error = 0;
    handle_ = plat::CreateDeviceFile(entry, &error);
    ASSERT_NE(handle_, 0u) << error;
    fd_ = plat::DuplicateDeviceDescriptor(handle_, &error);
    ASSERT_TRUE(fd_);
  }

  plat::WinUsbLibrary lib_;
  std::string folder_;
  plat::DeviceHandle handle_ = 0;
  plat::UniqueFd fd_;
  plat::WinUsbInterfaceHandle iface_ = nullptr;
};

class WinUsb : public WinUsbLibraryTest {
 protected:
  // Starts a device with `endpoints`, opens it as the link does and initialises the interface.
  void Start(std::vector<Endpoint> endpoints = {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}) {
    dral_test::SimWinUsbDevice::Options options;
    options.Endpoints = std::move(endpoints);
    device_ = std::make_unique<dral_test::SimWinUsbDevice>(folder_ + "/dev0", options);
    ASSERT_TRUE(device_->Listening());
    OpenEntry(folder_ + "/dev0");
    ASSERT_TRUE(lib_.Initialize(fd_.Get(), &iface_)) << errno;
  }

  std::unique_ptr<dral_test::SimWinUsbDevice> device_;
};

TEST_F(WinUsb, LibraryOffersTheSixEntryPoints) {
  EXPECT_TRUE(lib_.Initialize && lib_.Free && lib_.QueryInterfaceSettings && lib_.QueryPipe &&
              lib_.ReadPipe && lib_.WritePipe);
  plat::WinUsbLibrary missing;
  EXPECT_FALSE(missing.Load(env_.TempDir() + "/no-such-library.so"));
  EXPECT_FALSE(missing.Error().empty());
  EXPECT_EQ(missing.Initialize, nullptr);
}

TEST_F(WinUsb, InterfaceAndPipesAreReportedInTheDevicesOrder) {
  // The OUT pipe first and an interrupt pipe in between: the order is the device's.
  Start({{0x02, 2, 64, 0}, {0x83, 3, 8, 10}, {0x81, 2, 512, 0}});
  EXPECT_EQ(device_->DescribeCount(), 1);

  plat::UsbInterfaceDescriptor d{};
  ASSERT_TRUE(lib_.QueryInterfaceSettings(iface_, 0, &d));
  EXPECT_EQ(d.bLength, 9);
  EXPECT_EQ(d.bNumEndpoints, 3);
  errno = 0;
  EXPECT_FALSE(lib_.QueryInterfaceSettings(iface_, 1, &d));
  EXPECT_EQ(errno, ENOENT);

  plat::WinUsbPipeInformation p{};
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 0, &p));
  EXPECT_EQ(p.PipeType, plat::kUsbPipeTypeBulk);
  EXPECT_EQ(p.PipeId, 0x02);
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 1, &p));
  EXPECT_EQ(p.PipeType, plat::kUsbPipeTypeInterrupt);
  EXPECT_EQ(p.PipeId, 0x83);
  EXPECT_EQ(p.Interval, 10);
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 2, &p));
  EXPECT_EQ(p.PipeType, plat::kUsbPipeTypeBulk);
  EXPECT_EQ(p.PipeId, 0x81);
  EXPECT_EQ(p.MaximumPacketSize, 512);
  errno = 0;
  EXPECT_FALSE(lib_.QueryPipe(iface_, 0, 3, &p));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(WinUsb, WriteReachesTheDeviceAsOneTransferOfItsPipe) {
  Start();
  plat::Overlapped ov;
  uint32_t n = 0;
  const auto data = Bytes("hello");
  if (!lib_.WritePipe(iface_, 0x02, data.data(), 5, &n, &ov)) {
    ASSERT_EQ(errno, EINPROGRESS);
  }
  const plat::IoResult r = plat::GetOverlappedResult(ov, 2000);
  EXPECT_EQ(r.Status, plat::IoStatus::Completed);
  EXPECT_EQ(r.Bytes, 5u);
  const auto t = device_->ReceiveOut(2000);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->Endpoint, 0x02);
  EXPECT_EQ(t->Data, data);
}

TEST_F(WinUsb, ReadPendsUntilTheDeviceSendsATransfer) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[2048];
  uint32_t n = 99;
  errno = 0;
  ASSERT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(errno, EINPROGRESS);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(plat::ErrorFromErrno(errno), plat::kErrorIoPending);
  EXPECT_EQ(ov.Wait(50), plat::WaitResult::Timeout);

  ASSERT_TRUE(device_->SendIn(0x81, Bytes("frame")));
  ASSERT_EQ(ov.Wait(2000), plat::WaitResult::Signaled);
  const plat::IoResult r = plat::GetOverlappedResult(ov, 0);
  EXPECT_EQ(r.Bytes, 5u);
  EXPECT_EQ(std::string(buf, buf + 5), "frame");
}

TEST_F(WinUsb, TransfersWaitForTheReaderOfTheirOwnPipe) {
  Start({{0x81, 2, 64, 0}, {0x82, 2, 64, 0}, {0x02, 2, 64, 0}});
  ASSERT_TRUE(device_->SendIn(0x82, Bytes("second pipe")));
  ASSERT_TRUE(device_->SendIn(0x81, Bytes("0123456789")));
  plat::Overlapped ov;
  uint8_t buf[16];
  uint32_t n = 0;
  // A short buffer takes the start of the transfer; the next read gets the rest.
  lib_.ReadPipe(iface_, 0x81, buf, 4, &n, &ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 4u);
  lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 6u);
  EXPECT_EQ(std::string(buf, buf + 6), "456789");
  lib_.ReadPipe(iface_, 0x82, buf, sizeof buf, &n, &ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 11u);
}

TEST_F(WinUsb, TransfersOnPipesTheInterfaceDoesNotHaveAreRefused) {
  Start({{0x81, 2, 64, 0}});  // no OUT pipe at all
  plat::Overlapped ov;
  uint8_t buf[4] = {};
  uint32_t n = 0;
  errno = 0;
  EXPECT_FALSE(lib_.WritePipe(iface_, 0xFF, buf, 4, &n, &ov));
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_FALSE(lib_.ReadPipe(iface_, 0x01, buf, 4, &n, &ov));
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, 4, &n, nullptr));
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(WinUsb, CancelIoExAbortsAPendingPipeReadWithoutLosingTheNextTransfer) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[64];
  uint32_t n = 0;
  ASSERT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  EXPECT_TRUE(plat::CancelIoEx(ov));
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorOperationAborted);
  ASSERT_TRUE(device_->SendIn(0x81, Bytes("next")));
  lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 4u);
}

TEST_F(WinUsb, HangUpCompletesAPendingReadAsDeviceNotConnected) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[64];
  uint32_t n = 0;
  ASSERT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  device_->HangUp();
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Error, plat::kErrorDeviceNotConnected);
}

TEST_F(WinUsb, FreeAbortsPendingReadsAndTheHandleIsRefusedAfterwards) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[64];
  uint32_t n = 0;
  ASSERT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  ASSERT_TRUE(lib_.Free(iface_));
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorOperationAborted);
  errno = 0;
  EXPECT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_FALSE(lib_.Free(iface_));
  EXPECT_EQ(errno, EBADF);
  iface_ = nullptr;
}

TEST_F(WinUsb, ADeviceThatNeverDescribesItselfTimesOut) {
  dral_test::SimWinUsbDevice::Options options;
  options.AnswerDescribe = false;
  device_ = std::make_unique<dral_test::SimWinUsbDevice>(folder_ + "/dev0", options);
  OpenEntry(folder_ + "/dev0");
  const auto t0 = Clock::now();
  errno = 0;
  EXPECT_FALSE(lib_.Initialize(fd_.Get(), &iface_));
  const auto took = Clock::now() - t0;
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(iface_, nullptr);
  EXPECT_GE(took, std::chrono::milliseconds(plat::kWinUsbDescribeTimeoutMs - 50));
  EXPECT_LT(took, std::chrono::milliseconds(plat::kWinUsbDescribeTimeoutMs + 1500));
}

TEST_F(WinUsb, AStreamDeviceOrAMalformedDescriptionIsRefused) {
  dral_test::SimSocketDevice stream(folder_ + "/stream");
  uint32_t error = 0;
  plat::DeviceKind kind{};
  plat::UniqueFd fd(plat::OpenDeviceNode(stream.Path(), &kind, &error));
  ASSERT_TRUE(fd);
  errno = 0;
  EXPECT_FALSE(lib_.Initialize(fd.Get(), &iface_));
  EXPECT_EQ(errno, EPROTOTYPE);

  // A device that answers with an endpoint descriptor of the wrong length.
  dral_test::SimSocketDevice bad(folder_ + "/bad", SOCK_SEQPACKET);
  plat::UniqueFd badFd(plat::OpenDeviceNode(bad.Path(), &kind, &error));
  ASSERT_TRUE(badFd);
  std::thread answer([&] {
    if (!bad.Accept(2000) || bad.Receive(64, 2000).empty()) return;
    std::vector<uint8_t> p = {plat::winusb_sim::kDescription,
                              0,
                              0,
                              0,
                              1,
                              9,
                              4,
                              0,
                              0,
                              1,
                              0xFF,
                              0,
                              0,
                              0,
                              6,
                              5,
                              0x81,
                              2,
                              64,
                              0};
    bad.Send(p);
  });
  errno = 0;
  EXPECT_FALSE(lib_.Initialize(badFd.Get(), &iface_));
  EXPECT_EQ(errno, EPROTO);
  answer.join();
}

// ---- a USB device node through libusb --------------------------------------------------------

using dral_test::UsbInterfaceSpec;
constexpr uint8_t kBulk = 2;
constexpr uint8_t kInterrupt = 3;

class WinUsbOverLibUsb : public WinUsbLibraryTest {
 protected:
  void TearDown() override {
    WinUsbLibraryTest::TearDown();
    // Every context, device handle, transfer and descriptor was given back, in an order libusb
    // allows (no context ended while its events were being handled).
    EXPECT_EQ(usb_.Live(), 0);
    EXPECT_EQ(usb_.Misuse(), 0);
  }

  // A USB device with `interfaces` whose node (a pseudo-terminal standing in for it) is linked
  // into the class folder; opened as the link opens it, and initialised.
  void Start(const std::vector<UsbInterfaceSpec>& interfaces = {
                 {0, 0, {{0x81, kBulk, 64, 0}, {0x02, kBulk, 64, 0}}}}) {
    const std::string entry = folder_ + "/usb0";
    ASSERT_EQ(symlink(pty_.SlavePath().c_str(), entry.c_str()), 0);
    key_ = usb_.Add(entry, dral_test::UsbConfiguration(interfaces));
    ASSERT_GT(key_, 0);
    OpenEntry(entry);
    ASSERT_TRUE(lib_.Initialize(fd_.Get(), &iface_)) << errno;
    fd_.Reset();  // the library keeps a duplicate of its own
  }

  // Starts a read of the IN pipe 0x81 that stays pending.
  void StartRead(uint8_t* buf, uint32_t size, plat::Overlapped& ov) {
    uint32_t n = 0;
    errno = 0;
    ASSERT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, size, &n, &ov));
    ASSERT_EQ(errno, EINPROGRESS);
  }

  dral_test::ScopedEnv libusb_{plat::kLibUsbLibraryVar, dral_test::kFakeLibusbPath};
  dral_test::FakeLibusb usb_;
  dral_test::PtyPair pty_;
  int key_ = 0;
};

TEST_F(WinUsbOverLibUsb, InterfaceAndPipesAreTheFirstInterfaceOfTheDevicesConfiguration) {
  Start({{0, 0, {{0x02, kBulk, 512, 0}, {0x83, kInterrupt, 16, 4}, {0x81, kBulk, 512, 0}}},
         {0, 1, {{0x85, kBulk, 64, 0}}},
         {1, 0, {{0x84, kBulk, 64, 0}, {0x05, kBulk, 64, 0}}, 0x0A}});
  EXPECT_EQ(usb_.Claimed(key_), 0);
  EXPECT_TRUE(usb_.NoDiscovery());  // libusb never scans the bus beside the node

  plat::UsbInterfaceDescriptor d{};
  ASSERT_TRUE(lib_.QueryInterfaceSettings(iface_, 0, &d));
  EXPECT_EQ(d.bLength, 9);
  EXPECT_EQ(d.bDescriptorType, 4);
  EXPECT_EQ(d.bInterfaceNumber, 0);
  EXPECT_EQ(d.bNumEndpoints, 3);
  EXPECT_EQ(d.bInterfaceClass, 0xFF);
  ASSERT_TRUE(lib_.QueryInterfaceSettings(iface_, 1, &d));
  EXPECT_EQ(d.bAlternateSetting, 1);
  EXPECT_EQ(d.bNumEndpoints, 1);
  errno = 0;
  EXPECT_FALSE(lib_.QueryInterfaceSettings(iface_, 2, &d));
  EXPECT_EQ(errno, ENOENT);

  plat::WinUsbPipeInformation p{};
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 0, &p));
  EXPECT_EQ(p.PipeType, plat::kUsbPipeTypeBulk);
  EXPECT_EQ(p.PipeId, 0x02);
  EXPECT_EQ(p.MaximumPacketSize, 512);
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 1, &p));
  EXPECT_EQ(p.PipeType, plat::kUsbPipeTypeInterrupt);
  EXPECT_EQ(p.PipeId, 0x83);
  EXPECT_EQ(p.Interval, 4);
  ASSERT_TRUE(lib_.QueryPipe(iface_, 0, 2, &p));
  EXPECT_EQ(p.PipeId, 0x81);
  errno = 0;
  EXPECT_FALSE(lib_.QueryPipe(iface_, 0, 3, &p));
  EXPECT_EQ(errno, ENOENT);
  ASSERT_TRUE(lib_.QueryPipe(iface_, 1, 0, &p));
  EXPECT_EQ(p.PipeId, 0x85);

  // The second interface's pipes are not this interface's.
  plat::Overlapped ov;
  uint8_t buf[4];
  uint32_t n = 0;
  errno = 0;
  EXPECT_FALSE(lib_.ReadPipe(iface_, 0x84, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(WinUsbOverLibUsb, PipeTransfersAreBulkTransfersThatCompleteThroughTheirRecord) {
  Start();
  plat::Overlapped wov;
  uint32_t n = 0;
  const auto data = Bytes("hello");
  if (!lib_.WritePipe(iface_, 0x02, data.data(), 5, &n, &wov)) {
    ASSERT_EQ(errno, EINPROGRESS);
  }
  const plat::IoResult w = plat::GetOverlappedResult(wov, 2000);
  EXPECT_EQ(w.Status, plat::IoStatus::Completed);
  EXPECT_EQ(w.Bytes, 5u);
  const auto t = usb_.TakeWritten(key_);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->Endpoint, 0x02);
  EXPECT_EQ(t->Data, data);

  plat::Overlapped rov;
  uint8_t buf[2048];
  StartRead(buf, sizeof buf, rov);
  EXPECT_EQ(rov.Wait(50), plat::WaitResult::Timeout);
  usb_.Push(key_, 0x81, Bytes("frame"));
  const plat::IoResult r = plat::GetOverlappedResult(rov, 2000);
  EXPECT_EQ(r.Status, plat::IoStatus::Completed);
  ASSERT_EQ(r.Bytes, 5u);
  EXPECT_EQ(std::string(buf, buf + 5), "frame");
}

TEST_F(WinUsbOverLibUsb, AFailedTransferCompletesWithItsErrorAndTheNextOneWorks) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[64];
  StartRead(buf, sizeof buf, ov);
  usb_.FailTransfer(key_, 0x81, dral_test::kUsbTransferStall);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Error, plat::kErrorGenFailure);

  usb_.FailTransfer(key_, 0x02, dral_test::kUsbTransferError);
  uint32_t n = 0;
  lib_.WritePipe(iface_, 0x02, buf, 4, &n, &ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Error, plat::kErrorGenFailure);

  StartRead(buf, sizeof buf, ov);
  usb_.Push(key_, 0x81, Bytes("ok"));
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 2u);
}

TEST_F(WinUsbOverLibUsb, ADeviceThatGoesAwayFailsPendingAndLaterTransfersAsARemoval) {
  Start();
  plat::Overlapped ov;
  uint8_t buf[64];
  StartRead(buf, sizeof buf, ov);
  usb_.Vanish(key_);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Error, plat::kErrorDeviceNotConnected);

  uint32_t n = 0;
  errno = 0;
  EXPECT_FALSE(lib_.ReadPipe(iface_, 0x81, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(plat::ErrorFromErrno(errno), plat::kErrorDeviceNotConnected);
  errno = 0;
  EXPECT_FALSE(lib_.WritePipe(iface_, 0x02, buf, 4, &n, &ov));
  EXPECT_EQ(plat::ErrorFromErrno(errno), plat::kErrorDeviceNotConnected);
}

TEST_F(WinUsbOverLibUsb, CancelAndFreeCompleteAtOnceAndNeverTouchTheCallersBufferAgain) {
  Start();
  plat::Overlapped ov;
  uint8_t cancelled[64];
  std::memset(cancelled, 0xEE, sizeof cancelled);
  StartRead(cancelled, sizeof cancelled, ov);
  EXPECT_TRUE(plat::CancelIoEx(ov));
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorOperationAborted);
  // The next transfer goes to the next read, not into the cancelled one's buffer.
  usb_.Push(key_, 0x81, Bytes("next"));
  uint8_t buf[64];
  StartRead(buf, sizeof buf, ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 4u);
  EXPECT_EQ(cancelled[0], 0xEE);

  StartRead(buf, sizeof buf, ov);
  ASSERT_TRUE(lib_.Free(iface_));
  iface_ = nullptr;
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorOperationAborted);
  EXPECT_EQ(usb_.Pending(key_), 0);
  EXPECT_EQ(usb_.Claimed(key_), -1);
  // TearDown: libusb's context ended after its event thread, nothing left behind.
}

TEST_F(WinUsbOverLibUsb, AnEntryThatIsNoUsbDeviceOrWithoutLibUsbIsRefused) {
  // A character device that is no USB device node: libusb refuses to wrap it.
  uint32_t error = 0;
  plat::DeviceKind kind{};
  plat::UniqueFd fd = plat::OpenDeviceNode(pty_.SlavePath(), &kind, &error);
  ASSERT_TRUE(fd);
  errno = 0;
  EXPECT_FALSE(lib_.Initialize(fd.Get(), &iface_));
  EXPECT_EQ(errno, EIO);
  {
    dral_test::ScopedEnv missing(plat::kLibUsbLibraryVar, env_.TempDir() + "/no-libusb.so");
    errno = 0;
    EXPECT_FALSE(lib_.Initialize(fd.Get(), &iface_));
    EXPECT_EQ(errno, ELIBACC);
  }
  // Neither a character device nor a socket.
  ASSERT_TRUE(plat_test::MakeFifo(folder_ + "/fifo"));
  plat::UniqueFd fifo = plat::OpenDeviceNode(folder_ + "/fifo", &kind, &error);
  ASSERT_TRUE(fifo);
  errno = 0;
  EXPECT_FALSE(lib_.Initialize(fifo.Get(), &iface_));
  EXPECT_EQ(errno, EPROTOTYPE);
  EXPECT_EQ(iface_, nullptr);
}

}  // namespace
