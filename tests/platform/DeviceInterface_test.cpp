#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "device_test_util.h"
#include "plat/device_interface.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"

namespace {

using plat_test::kUsbClass;
using plat_test::MakeClassFolder;
using plat_test::MakeFifo;

class DeviceInterface : public dral_test::IsolatedTest {};

TEST_F(DeviceInterface, EnumerationListsDeviceEntriesInNameOrderAndSkipsTheRest) {
  const std::string folder = MakeClassFolder(kUsbClass);
  ASSERT_TRUE(MakeFifo(folder + "/dev-b"));
  dral_test::SimSocketDevice socketDevice(folder + "/dev-a");
  ASSERT_TRUE(socketDevice.Listening());
  ASSERT_TRUE(MakeFifo(env_.TempDir() + "/elsewhere"));
  std::filesystem::create_symlink(env_.TempDir() + "/elsewhere", folder + "/dev-0");
  std::filesystem::create_symlink(env_.TempDir() + "/missing", folder + "/dev-dangling");
  std::ofstream(folder + "/dev-file") << "not a device";
  std::filesystem::create_directory(folder + "/dev-dir");
  ASSERT_TRUE(MakeFifo(folder + "/.dev-hidden"));

  int error = -1;
  const auto paths = plat::EnumerateDeviceInterfaces(kUsbClass, &error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(paths,
            (std::vector<std::string>{folder + "/dev-0", folder + "/dev-a", folder + "/dev-b"}));
}

TEST_F(DeviceInterface, MissingOrEmptyFolderIsAnEmptyListWithoutError) {
  int error = -1;
  EXPECT_TRUE(plat::EnumerateDeviceInterfaces(kUsbClass, &error).empty());
  EXPECT_EQ(error, 0);
  MakeClassFolder(kUsbClass);
  error = -1;
  EXPECT_TRUE(plat::EnumerateDeviceInterfaces(kUsbClass, &error).empty());
  EXPECT_EQ(error, 0);
}

TEST_F(DeviceInterface, FolderNameMatchesTheClassWithoutRegardToCase) {
  const std::string lower = "{b2a7a7fa-ca82-474b-9bdc-9e4f66f07fb1}";
  const std::string folder = MakeClassFolder(lower);
  ASSERT_TRUE(MakeFifo(folder + "/dev0"));
  EXPECT_EQ(plat::EnumerateDeviceInterfaces(kUsbClass), std::vector<std::string>{folder + "/dev0"});
  EXPECT_EQ(plat::DeviceInterfaceFolder(kUsbClass), folder);
}

TEST_F(DeviceInterface, DeviceDirectoryIsReadAtEachCall) {
  const std::string other = env_.TempDir() + "/other";
  std::filesystem::create_directories(other + "/" + kUsbClass);
  ASSERT_TRUE(MakeFifo(other + "/" + kUsbClass + "/dev0"));
  EXPECT_TRUE(plat::EnumerateDeviceInterfaces(kUsbClass).empty());
  setenv("DRAL_DEVICE_DIR", other.c_str(), 1);
  EXPECT_EQ(plat::EnumerateDeviceInterfaces(kUsbClass).size(), 1u);
  setenv("DRAL_DEVICE_DIR", env_.DeviceDir().c_str(), 1);
}

TEST_F(DeviceInterface, OpensSocketsOfBothKindsAndFifos) {
  const std::string folder = MakeClassFolder(kUsbClass);
  dral_test::SimSocketDevice stream(folder + "/stream");
  dral_test::SimSocketDevice packets(folder + "/packets", SOCK_SEQPACKET);
  ASSERT_TRUE(MakeFifo(folder + "/fifo"));

  plat::DeviceKind kind{};
  uint32_t error = 0;
  plat::UniqueFd fd(plat::OpenDeviceNode(folder + "/stream", &kind, &error));
  EXPECT_TRUE(fd) << error;
  EXPECT_EQ(kind, plat::DeviceKind::StreamSocket);
  fd = plat::UniqueFd(plat::OpenDeviceNode(folder + "/packets", &kind, &error));
  EXPECT_TRUE(fd) << error;
  EXPECT_EQ(kind, plat::DeviceKind::SeqPacketSocket);
  fd = plat::UniqueFd(plat::OpenDeviceNode(folder + "/fifo", &kind, &error));
  ASSERT_TRUE(fd) << error;
  EXPECT_EQ(kind, plat::DeviceKind::Fifo);
  EXPECT_NE(fcntl(fd.Get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(DeviceInterface, ASocketWhosePathIsLongerThanASocketAddressOpens) {
  const std::string folder = MakeClassFolder(kUsbClass) + "/" + std::string(120, 'd');
  std::filesystem::create_directories(folder);
  dral_test::SimSocketDevice device(folder + "/dev0");
  ASSERT_TRUE(device.Listening());
  uint32_t error = 0;
  const plat::DeviceHandle h = plat::CreateDeviceFile(folder + "/dev0", &error);
  EXPECT_NE(h, 0u) << error;
  EXPECT_TRUE(device.Accept(2000));
  plat::CloseDeviceFile(h);
}

TEST_F(DeviceInterface, OpenReportsWhyAnEntryCannotBeUsed) {
  const std::string folder = MakeClassFolder(kUsbClass);
  uint32_t error = 0;
  EXPECT_EQ(plat::CreateDeviceFile(folder + "/none", &error), 0u);
  EXPECT_EQ(error, plat::kErrorFileNotFound);

  std::ofstream(folder + "/file") << "x";
  EXPECT_EQ(plat::CreateDeviceFile(folder + "/file", &error), 0u);
  EXPECT_EQ(error, plat::kErrorNotSupported);

  // A socket entry whose device is gone: nobody listens any more.
  ASSERT_TRUE(plat_test::MakeStaleSocket(folder + "/stale"));
  EXPECT_EQ(plat::CreateDeviceFile(folder + "/stale", &error), 0u);
  EXPECT_EQ(error, plat::kErrorDeviceNotConnected);
}

TEST_F(DeviceInterface, AFifoOrCharacterDeviceIsNotShared) {
  const std::string folder = MakeClassFolder(kUsbClass);
  ASSERT_TRUE(MakeFifo(folder + "/fifo"));
  uint32_t error = 0;
  const plat::DeviceHandle first = plat::CreateDeviceFile(folder + "/fifo", &error);
  ASSERT_NE(first, 0u) << error;
  EXPECT_EQ(plat::CreateDeviceFile(folder + "/fifo", &error), 0u);
  EXPECT_EQ(error, plat::kErrorSharingViolation);
  ASSERT_TRUE(plat::CloseDeviceFile(first));
  const plat::DeviceHandle second = plat::CreateDeviceFile(folder + "/fifo", &error);
  EXPECT_NE(second, 0u) << error;
  EXPECT_NE(second, first) << "handles are never reused";
  plat::CloseDeviceFile(second);
}

TEST_F(DeviceInterface, ATerminalDeviceIsSwitchedToRawModeWithoutCarrierWhenOpened) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string folder = MakeClassFolder(kUsbClass);
  std::filesystem::create_symlink(ttyname(slave), folder + "/tty0");
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_NE(before.c_lflag & (ICANON | ECHO), 0u) << "a new terminal starts cooked";
  ASSERT_EQ(before.c_cflag & CLOCAL, 0u) << "a new terminal starts waiting for carrier";
  uint32_t error = 0;
  const plat::DeviceHandle handle = plat::CreateDeviceFile(folder + "/tty0", &error);
  ASSERT_NE(handle, 0u) << error;
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u) << "echo or line editing left on";
  EXPECT_EQ(after.c_iflag & (ICRNL | IXON), 0u) << "input translation left on";
  EXPECT_EQ(after.c_oflag & OPOST, 0u) << "output translation left on";
  EXPECT_NE(after.c_cflag & CLOCAL, 0u) << "a carrier drop would hang the device up";
  EXPECT_EQ(after.c_cflag & CBAUD, before.c_cflag & CBAUD) << "the line rate was changed";
  plat::CloseDeviceFile(handle);
  close(slave);
  close(master);
}

TEST_F(DeviceInterface, AClosedHandleIsRefusedEverywhere) {
  const std::string folder = MakeClassFolder(kUsbClass);
  ASSERT_TRUE(MakeFifo(folder + "/fifo"));
  uint32_t error = 0;
  const plat::DeviceHandle h = plat::CreateDeviceFile(folder + "/fifo", &error);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::DeviceFilePath(h), folder + "/fifo");
  ASSERT_TRUE(plat::CloseDeviceFile(h));
  EXPECT_FALSE(plat::CloseDeviceFile(h));
  EXPECT_EQ(plat::DeviceFilePath(h), "");
  plat::Overlapped ov;
  char buf[4];
  EXPECT_EQ(plat::ReadFile(h, buf, sizeof buf, ov).Error, plat::kErrorInvalidHandle);
  EXPECT_EQ(plat::WriteFile(h, buf, sizeof buf, ov).Error, plat::kErrorInvalidHandle);
  EXPECT_FALSE(plat::DuplicateDeviceDescriptor(h, &error));
  EXPECT_EQ(error, plat::kErrorInvalidHandle);
}

}  // namespace
