// The host's interface list and the address add, inside a network namespace of the test's own
// (the machine's interfaces are never touched; without namespaces the tests are skipped).
#include "plat/net_interface.h"

#include <net/if.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plat/tcp_socket.h"
#include "testsupport/NetNamespace.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

namespace fs = std::filesystem;
using dral_test::AddAddress;
using dral_test::AddressesOf;
using dral_test::AddVethPair;
using dral_test::SetInterfaceAlias;

constexpr const char* kAlias = "USB Ethernet/RNDIS Gadget";

class NetInterfaceTest : public dral_test::IsolatedTest {};

TEST_F(NetInterfaceTest, TheListLeavesLoopbackOutAndGivesAliasAndFirstAddressInIndexOrder) {
  EXPECT_RAN_IN_NAMESPACE([] {
    ASSERT_EQ(AddVethPair("usb9", "peer9", -1), 0);
    ASSERT_EQ(SetInterfaceAlias("usb9", kAlias), 0);
    ASSERT_EQ(AddAddress("usb9", "192.168.11.21", 24), 0);
    ASSERT_EQ(AddAddress("usb9", "10.7.0.1", 8), 0);
    std::vector<plat::NetInterface> list;
    int error = -1;
    ASSERT_TRUE(plat::ListNetInterfaces(&list, &error));
    EXPECT_EQ(error, 0);
    ASSERT_EQ(list.size(), 2u) << "the loopback interface is listed, or one is missing";
    EXPECT_LT(list[0].Index, list[1].Index);
    for (const plat::NetInterface& entry : list) {
      SCOPED_TRACE(entry.Name);
      EXPECT_EQ(entry.Index, if_nametoindex(entry.Name.c_str()));
      if (entry.Name == "usb9") {
        EXPECT_EQ(entry.Description, kAlias);
        EXPECT_EQ(entry.Address, "192.168.11.21");
        EXPECT_EQ(entry.Mask, "255.255.255.0");
      } else {
        EXPECT_EQ(entry.Name, "peer9");
        EXPECT_EQ(entry.Description, "peer9");  // no alias: the name
        EXPECT_EQ(entry.Address, "0.0.0.0");
        EXPECT_EQ(entry.Mask, "0.0.0.0");
      }
    }
  });
}

// In the test's sysfs tree: interface `name` belongs to `device` (a folder under devices/),
// whose driver is `driver` ("" for none).
void SysfsInterface(const fs::path& sysfs, const std::string& name, const std::string& device,
                    const std::string& driver) {
  const fs::path dir = sysfs / "devices" / device;
  fs::create_directories(dir);
  fs::create_directories(sysfs / "class" / "net" / name);
  fs::create_directory_symlink(dir, sysfs / "class" / "net" / name / "device");
  if (driver.empty()) return;
  fs::create_directories(sysfs / "bus" / "usb" / "drivers" / driver);
  fs::create_directory_symlink(sysfs / "bus" / "usb" / "drivers" / driver, dir / "driver");
}

TEST_F(NetInterfaceTest, TheDescriptionIsTheAliasElseTheUsbProductElseTheDriverElseTheName) {
  // usb7 and usb8 are interfaces of one USB device (with its product string), usb9 is one of a
  // PCI card (no product string); peer9 has no device at all.
  const fs::path sysfs = env_.SysfsDir();
  fs::create_directories(sysfs / "devices" / "usb1" / "1-1");
  dral_test::WriteFile((sysfs / "devices/usb1/1-1/idVendor").string(), "14ec\n");
  dral_test::WriteFile((sysfs / "devices/usb1/1-1/product").string(), "DLA Adapter\n");
  SysfsInterface(sysfs, "usb7", "usb1/1-1/1-1:1.0", "rndis_host");
  SysfsInterface(sysfs, "usb8", "usb1/1-1/1-1:1.1", "cdc_ether");
  SysfsInterface(sysfs, "usb9", "pci0000:00/0000:00:1f.6", "e1000e");
  EXPECT_RAN_IN_NAMESPACE([] {
    ASSERT_EQ(AddVethPair("usb7", "usb8", -1), 0);
    ASSERT_EQ(AddVethPair("usb9", "peer9", -1), 0);
    ASSERT_EQ(SetInterfaceAlias("usb7", kAlias), 0);
    std::vector<plat::NetInterface> list;
    int error = -1;
    ASSERT_TRUE(plat::ListNetInterfaces(&list, &error));
    std::map<std::string, std::string> descriptions;
    for (const plat::NetInterface& entry : list) descriptions[entry.Name] = entry.Description;
    EXPECT_EQ(descriptions, (std::map<std::string, std::string>{{"usb7", kAlias},
                                                                {"usb8", "DLA Adapter"},
                                                                {"usb9", "e1000e"},
                                                                {"peer9", "peer9"}}));
  });
}

TEST_F(NetInterfaceTest, AnAddressIsAddedOnceThenAlreadyPresentAndWithoutTheRightsDenied) {
  EXPECT_RAN_IN_NAMESPACE([] {
    ASSERT_EQ(AddVethPair("usb9", "peer9", -1), 0);
    const uint32_t index = if_nametoindex("usb9");
    const uint32_t address = plat::ParseIPv4("192.168.11.21");
    const uint32_t mask = plat::ParseIPv4("255.255.255.0");
    int error = -1;
    EXPECT_EQ(plat::AddInterfaceAddress(index, address, mask, &error), plat::kAddressAdded);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(AddressesOf("usb9"), std::vector<std::string>{"192.168.11.21"});
    EXPECT_EQ(dral_test::BroadcastOf("usb9", "192.168.11.21"), "192.168.11.255");
    EXPECT_EQ(plat::AddInterfaceAddress(index, address, mask, &error),
              plat::kAddressAlreadyExists);
    EXPECT_EQ(plat::AddInterfaceAddress(index + 100, address, mask, &error),
              plat::kAddressFailed);
    EXPECT_EQ(error, ENODEV);
    ASSERT_EQ(dral_test::DropNetAdmin(), 0);
    EXPECT_EQ(plat::AddInterfaceAddress(index, plat::ParseIPv4("10.7.0.1"), mask, &error),
              plat::kAddressAccessDenied);
    EXPECT_EQ(error, EPERM);
    EXPECT_EQ(AddressesOf("usb9"), std::vector<std::string>{"192.168.11.21"});
  });
}

}  // namespace
