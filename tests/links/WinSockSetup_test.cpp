// The Ethernet link's host address set-up and its default target, each inside a network
// namespace of the test's own: a veth pair stands for the adapter's USB network interface, with
// the adapter simulator's TCP front behind it in a second namespace. The machine's interfaces
// are never touched; where no namespace can be made the tests are skipped.
#include <gtest/gtest.h>
#include <net/if.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LinkTestUtil.h"
#include "classlib/Registry.h"
#include "links/WinSockConduit.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/AdapterTcpFront.h"
#include "testsupport/NetNamespace.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral {
namespace {

namespace fs = std::filesystem;
using dral_test::AdapterSimulator;
using dral_test::AdapterTcpFront;
using dral_test::AddressesOf;
using dral_test::WaitUntil;

constexpr const char* kHostSide = "usb0";
constexpr const char* kAdapterSide = "adp0";
constexpr const char* kAdapterAddress = "192.168.11.1";
constexpr int kWaitMs = 5000;

// In the namespace: "usb0" with the adapter interface's alias and `hostAddress` ("" for none),
// and the front of `adapter` listening at 192.168.11.1:44779 on the other end of the pair, in a
// namespace of its own (so that traffic really crosses the interface).
std::unique_ptr<AdapterTcpFront> AdapterBehindInterface(AdapterSimulator& adapter,
                                                        const std::string& hostAddress) {
  int own = -1;
  int peer = -1;
  EXPECT_EQ(dral_test::OpenOwnNetNamespace(&own), 0);
  EXPECT_EQ(dral_test::MakePeerNamespace(&peer), 0);
  EXPECT_EQ(dral_test::AddVethPair(kHostSide, kAdapterSide, peer), 0);
  EXPECT_EQ(dral_test::SetInterfaceAlias(kHostSide, TWinSockThread::kAdapterDescription), 0);
  if (!hostAddress.empty()) {
    EXPECT_EQ(dral_test::AddAddress(kHostSide, hostAddress, 24), 0);
  }
  EXPECT_EQ(dral_test::SetInterfaceUp(kHostSide), 0);
  EXPECT_EQ(dral_test::EnterNetNamespace(peer), 0);
  EXPECT_EQ(dral_test::SetInterfaceUp(kAdapterSide), 0);
  EXPECT_EQ(dral_test::AddAddress(kAdapterSide, kAdapterAddress, 24), 0);
  auto front = std::make_unique<AdapterTcpFront>(adapter, kAdapterAddress);
  EXPECT_EQ(dral_test::EnterNetNamespace(own), 0);
  return front;
}

// Polls Open as the link manager does until it reports true.
bool OpenUntilConnected(TWinSockConduit& link, const std::string& address) {
  return WaitUntil([&] { return link.Open(address, ""); }, kWaitMs);
}

// The front has the link's connection, and bytes cross it both ways.
void ExpectTrafficBothWays(TWinSockConduit& link, AdapterSimulator& adapter,
                           AdapterTcpFront& front) {
  ASSERT_TRUE(WaitUntil([&] { return front.PeerConnected(); }, kWaitMs));
  dral_test::ExpectTrafficBothWays(link, adapter, kWaitMs);
  link.Close();
}

// The user's setting of the program that sets the host address up.
void SetInitTool(const std::string& tool) {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Trevik\\DRAL", true));
  reg.WriteString("InitTool", tool);
}

class WinSockSetupTest : public ::testing::Test {
 protected:
  dral_test::IsolatedEnv env;
  dral_test::Watchdog watchdog{60};
};

TEST_F(WinSockSetupTest, TheHostAddressIsAddedBeforeTheFirstAttemptToTheAdapterSubnet) {
  EXPECT_RAN_IN_NAMESPACE([] {
    AdapterSimulator adapter;
    auto front = AdapterBehindInterface(adapter, "");
    if (::testing::Test::HasFailure()) return;
    ASSERT_TRUE(AddressesOf(kHostSide).empty());
    TWinSockConduit link;
    ASSERT_TRUE(OpenUntilConnected(link, kAdapterAddress));
    EXPECT_EQ(link.SockThread()->Attempts(), 1u) << "an attempt came before the set-up";
    EXPECT_GE(link.SockThread()->Setups(), 1u);
    EXPECT_EQ(AddressesOf(kHostSide), std::vector<std::string>{"192.168.11.21"});
    ASSERT_TRUE(WaitUntil([&] { return front->Accepted() == 1; }, kWaitMs));
    EXPECT_EQ(front->PeerAddress(), "192.168.11.21");
    ExpectTrafficBothWays(link, adapter, *front);
  });
}

TEST_F(WinSockSetupTest, AnInterfaceWithAnAddressInTheAdapterSubnetGetsNoOther) {
  EXPECT_RAN_IN_NAMESPACE([] {
    AdapterSimulator adapter;
    auto front = AdapterBehindInterface(adapter, "192.168.11.30");
    if (::testing::Test::HasFailure()) return;
    TWinSockConduit link;
    ASSERT_TRUE(OpenUntilConnected(link, kAdapterAddress));
    EXPECT_GE(link.SockThread()->Setups(), 1u);
    EXPECT_EQ(AddressesOf(kHostSide), std::vector<std::string>{"192.168.11.30"});
    ASSERT_TRUE(WaitUntil([&] { return front->Accepted() == 1; }, kWaitMs));
    EXPECT_EQ(front->PeerAddress(), "192.168.11.30");
  });
}

TEST_F(WinSockSetupTest, WithoutTheRightsTheSetupToolRunsWithSlashSAndIsWaitedFor) {
  // The tool takes a while, then notes its arguments and working directory.
  const fs::path dir = fs::path(env.TempDir()) / "tool";
  fs::create_directories(dir);
  const std::string tool = (dir / "setup-tool").string();
  dral_test::WriteFile(tool,
                       "#!/bin/sh\nsleep 0.2\n"
                       "printf '%s|%s' \"$*\" \"$(pwd)\" > ran.part && mv ran.part ran\n",
                       fs::perms::owner_all);
  ASSERT_NO_FATAL_FAILURE(SetInitTool(tool));
  const std::string marker = (dir / "ran").string();
  EXPECT_RAN_IN_NAMESPACE([&] {
    AdapterSimulator adapter;
    auto front = AdapterBehindInterface(adapter, "");
    if (::testing::Test::HasFailure()) return;
    ASSERT_EQ(dral_test::DropNetAdmin(), 0);
    TWinSockConduit link;
    EXPECT_FALSE(link.Open(kAdapterAddress, ""));
    ASSERT_TRUE(WaitUntil([&] { return link.SockThread()->Attempts() >= 1; }, kWaitMs));
    // The attempt came after the tool's end.
    EXPECT_EQ(dral_test::ReadFile(marker), "/S|" + dir.string());
    EXPECT_TRUE(AddressesOf(kHostSide).empty());
    EXPECT_FALSE(link.IsOpen());  // nothing gave the host an address in the subnet
  });
}

TEST_F(WinSockSetupTest, TheFirstInterfaceInListOrderWithEitherDescriptionGetsTheAddress) {
  EXPECT_RAN_IN_NAMESPACE([] {
    ASSERT_EQ(dral_test::AddVethPair("usb0", "usb1", -1), 0);
    // The first in the list (lower index) has the second description.
    const bool usb0First = if_nametoindex("usb0") < if_nametoindex("usb1");
    const std::string first = usb0First ? "usb0" : "usb1";
    const std::string second = usb0First ? "usb1" : "usb0";
    ASSERT_EQ(dral_test::SetInterfaceAlias(first, TWinSockThread::kAdapterDescriptionAlt), 0);
    ASSERT_EQ(dral_test::SetInterfaceAlias(second, TWinSockThread::kAdapterDescription), 0);
    TWinSockThread thread;  // never started: the set-up runs here
    EXPECT_TRUE(thread.ConfigureRndisAddress());
    EXPECT_EQ(AddressesOf(first), std::vector<std::string>{"192.168.11.21"});
    EXPECT_TRUE(AddressesOf(second).empty());
  });
}

TEST_F(WinSockSetupTest, ASetupToolPathWithAFolderIsTakenFromTheCurrentDirectoryOnce) {
  const fs::path here = fs::canonical(env.TempDir());
  const fs::path dir = here / "tools";
  fs::create_directories(dir);
  dral_test::WriteFile((dir / "setup-tool").string(),
                       "#!/bin/sh\nprintf '%s|%s' \"$*\" \"$(pwd)\" > ran\n", fs::perms::owner_all);
  ASSERT_NO_FATAL_FAILURE(SetInitTool("tools/setup-tool"));
  const fs::path before = fs::current_path();
  fs::current_path(here);
  RunAddressTool();
  fs::current_path(before);
  EXPECT_EQ(dral_test::ReadFile((dir / "ran").string()), "/S|" + dir.string());
}

TEST_F(WinSockSetupTest, EmptyAddressAndPortReachTheAdapterAtTheLoopbackDefault) {
  EXPECT_RAN_IN_NAMESPACE([] {
    AdapterSimulator adapter;
    AdapterTcpFront front(adapter);  // 127.0.0.1:44779, free in this namespace
    TWinSockConduit link;
    ASSERT_TRUE(OpenUntilConnected(link, ""));
    EXPECT_EQ(link.SockThread()->Setups(), 0u);
    ExpectTrafficBothWays(link, adapter, front);
  });
}

TEST_F(WinSockSetupTest, WithNothingListeningTheLinkNeverConnectsToItself) {
  // Connection attempts to a local port in the range of local ports can meet themselves
  // (simultaneous open) once the system picks that very port for the attempt; with the range
  // narrowed to the default port every attempt does.
  EXPECT_RAN_IN_NAMESPACE([] {
    ASSERT_EQ(dral_test::SetLocalPortRange(TWinSockConduit::kDefaultPort,
                                           TWinSockConduit::kDefaultPort), 0);
    TWinSockConduit link;
    EXPECT_FALSE(link.Open("", ""));
    EXPECT_TRUE(WaitUntil([&] { return link.SockThread()->Attempts() >= 5; }, kWaitMs))
        << "an attempt was taken for a connection";
    EXPECT_FALSE(link.IsOpen());
  });
}

}  // namespace
}  // namespace dral
