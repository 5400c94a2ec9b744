// The Ethernet link against the adapter simulator's TCP front on the loopback interface.
#include "links/WinSockConduit.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "LinkTestUtil.h"
#include "plat/tcp_socket.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/AdapterTcpFront.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::AdapterSimulator;
using dral_test::AdapterTcpFront;
using dral_test::WaitUntil;

constexpr const char* kLoopback = "127.0.0.1";
constexpr int kWaitMs = 5000;

class WinSockConduitTest : public ::testing::Test {
 protected:
  // A front on a free loopback port.
  std::unique_ptr<AdapterTcpFront> FreeFront() {
    return std::make_unique<AdapterTcpFront>(adapter, kLoopback, 0);
  }
  // Polls Open as the link manager does until it reports true.
  static bool OpenUntilConnected(TWinSockConduit& link, const std::string& address,
                                 const std::string& port) {
    return WaitUntil([&] { return link.Open(address, port); }, kWaitMs);
  }

  // Close ends the link: not open, and nothing is written any more.
  static void ExpectCloseEndsTheLink(TWinSockConduit& link) {
    const uint8_t out[] = {1, 2, 3};
    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Write(out, sizeof out), 0);
    EXPECT_EQ(link.PortInfo(), "");
  }

  dral_test::IsolatedEnv env;
  dral_test::Watchdog watchdog{30};
  AdapterSimulator adapter;
};

TEST(WinSockPortTest, APortTextThatIsNotANumberGivesTheDefaultPort) {
  EXPECT_EQ(WinSockPortOf(""), 44779);
  EXPECT_EQ(WinSockPortOf("abc"), 44779);
  EXPECT_EQ(WinSockPortOf("12x"), 44779);
  EXPECT_EQ(WinSockPortOf("5000"), 5000);
  EXPECT_EQ(WinSockPortOf("70000"), 70000 & 0xFFFF);  // truncated to 16 bits
}

TEST_F(WinSockConduitTest, EmptyAddressAndPortAskForTheLoopbackDefaultWithoutSetup) {
  // Whatever listens on the default port of a shared machine, the target is what counts.
  TWinSockConduit link;
  EXPECT_EQ(link.DebugLevel.load(), 2);
  EXPECT_EQ(link.PortInfo(), "");
  link.Open("", "");
  EXPECT_EQ(link.LastAddress(), plat::ParseIPv4(kLoopback));
  EXPECT_EQ(link.LastPort(), plat::HostToNet16(44779));
  link.Open(kLoopback, "not a number");
  EXPECT_EQ(link.LastPort(), plat::HostToNet16(44779));
  EXPECT_EQ(link.SockThread()->Setups(), 0u);
}

TEST_F(WinSockConduitTest, AConnectedLinkCarriesBytesBothWays) {
  auto front = FreeFront();
  TWinSockConduit link;
  ASSERT_TRUE(OpenUntilConnected(link, "", std::to_string(front->Port())));
  EXPECT_EQ(link.SockThread()->Setups(), 0u);
  EXPECT_EQ(link.PortName(), "Ethernet Device");
  EXPECT_EQ(link.PortInfo(), kLoopback);
  ASSERT_TRUE(WaitUntil([&] { return front->PeerConnected(); }, kWaitMs));

  // Traffic both ways once the handler is installed.
  dral_test::ExpectTrafficBothWays(link, adapter, kWaitMs);
  ExpectCloseEndsTheLink(link);
}

TEST_F(WinSockConduitTest, AnUnparsableAddressFallsBackToTheLoopbackWithoutSetup) {
  auto front = FreeFront();
  TWinSockConduit link;
  const std::string port = std::to_string(front->Port());
  ASSERT_TRUE(OpenUntilConnected(link, "255.255.255.255", port));
  EXPECT_EQ(link.LastAddress(), plat::ParseIPv4(kLoopback));
  EXPECT_EQ(link.SockThread()->Setups(), 0u);
}

TEST_F(WinSockConduitTest, RepeatedOpenWhileConnectingStartsNothingNew) {
  auto front = FreeFront();
  TWinSockConduit link;
  const std::string port = std::to_string(front->Port());
  EXPECT_FALSE(link.Open(kLoopback, port));  // the attempt runs on the socket thread
  ASSERT_TRUE(OpenUntilConnected(link, kLoopback, port));
  EXPECT_EQ(link.SockThread()->Attempts(), 1u);
  // The front accepts a connection some time after the kernel has made it.
  ASSERT_TRUE(WaitUntil([&] { return front->Accepted() == 1; }, kWaitMs));
  EXPECT_TRUE(link.Open(kLoopback, port));
  EXPECT_EQ(link.SockThread()->Attempts(), 1u);
}

TEST_F(WinSockConduitTest, AnotherTargetWhileConnectedDisconnectsFirst) {
  auto first = FreeFront();
  auto second = FreeFront();
  TWinSockConduit link;
  ASSERT_TRUE(OpenUntilConnected(link, kLoopback, std::to_string(first->Port())));
  ASSERT_TRUE(WaitUntil([&] { return first->PeerConnected(); }, kWaitMs));
  EXPECT_FALSE(link.Open(kLoopback, std::to_string(second->Port())));
  EXPECT_TRUE(WaitUntil([&] { return !first->PeerConnected(); }, kWaitMs));
  ASSERT_TRUE(OpenUntilConnected(link, kLoopback, std::to_string(second->Port())));
  EXPECT_TRUE(WaitUntil([&] { return second->Accepted() == 1; }, kWaitMs));
  EXPECT_EQ(first->Accepted(), 1);
}

TEST_F(WinSockConduitTest, AfterThePeerClosesTheLinkStaysOpenAndAcceptsNothingUntilClose) {
  auto front = FreeFront();
  TWinSockConduit link;
  ASSERT_TRUE(OpenUntilConnected(link, kLoopback, std::to_string(front->Port())));
  ASSERT_TRUE(WaitUntil([&] { return front->PeerConnected(); }, kWaitMs));
  front->ClosePeer();
  ASSERT_TRUE(WaitUntil([&] { return link.SockThread()->PeerClosed(); }, kWaitMs));
  const uint8_t out[] = {1, 2, 3};
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.Write(out, sizeof out), 0);
  EXPECT_TRUE(link.IsOpen());
  ExpectCloseEndsTheLink(link);
}

TEST_F(WinSockConduitTest, CloseEndsTheLinkWhileThePeerStaysSilent) {
  // The peer neither sends nor closes: the receive side must not hold Close up.
  auto front = FreeFront();
  TWinSockConduit link;
  ASSERT_TRUE(OpenUntilConnected(link, kLoopback, std::to_string(front->Port())));
  ExpectCloseEndsTheLink(link);
}

}  // namespace
}  // namespace dral
