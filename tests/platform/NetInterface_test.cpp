// The host's interface list and the address add, inside a network namespace of the test's own
// (the machine's interfaces are never touched; without namespaces the tests are skipped).
#include "plat/net_interface.h"

#include <net/if.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plat/tcp_socket.h"
#include "testsupport/NetNamespace.h"
#include "testsupport/test_env.h"

namespace {

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
