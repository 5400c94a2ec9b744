// The USB and WinUSB links under the real link manager: an adapter (the simulator) behind a
// device entry, traffic both ways, the device pulled and plugged in again.
#include "links/UsbConduit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "LinkTestUtil.h"
#include "links/WinUsbConduit.h"
#include "server/HuxMgr.h"
#include "testsupport/AdapterDeviceFront.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::AdapterSimulator;
using dral_test::ScopedEnv;
using dral_test::TestRegistrar;
using dral_test::WaitUntil;
namespace sim = dral_test::sim;

struct LinkEvents {
  void OnLinkChanged(uint8_t up) { (up ? ups : downs).fetch_add(1); }
  std::atomic<int> ups{0};
  std::atomic<int> downs{0};
};

// Counts the link's Open calls that have returned.
template <class Link>
class OpenCounting : public Link {
 public:
  explicit OpenCounting(std::atomic<int>* opens) : opens_(opens) {}
  bool Open(std::string openArg1, std::string openArg2) override {
    const bool opened = Link::Open(std::move(openArg1), std::move(openArg2));
    opens_->fetch_add(1);
    return opened;
  }

 private:
  std::atomic<int>* opens_;
};

enum class Kind { UsbDriver, WinUsb };

class UsbLinkUnderManagerTest : public dral_test::IsolatedTest,
                                public ::testing::WithParamInterface<Kind> {
 protected:
  dral_test::DeviceFrontOptions FrontOptions() const {
    dral_test::DeviceFrontOptions options;
    options.Kind = GetParam() == Kind::UsbDriver ? dral_test::DeviceFrontKind::UsbDriver
                                                 : dral_test::DeviceFrontKind::WinUsb;
    return options;
  }
  LinkFactoryTable Table() {
    LinkFactoryTable table;
    if (GetParam() == Kind::UsbDriver) {
      table[LinkRowUsb] = [this] { return std::make_unique<OpenCounting<TUsbConduit>>(&opens_); };
    } else {
      table[LinkRowWinUsb] = [this] {
        return std::make_unique<OpenCounting<TWinUsbConduit>>(&opens_);
      };
    }
    return table;
  }
  size_t VersionRequests() const { return adapter_.Count(dral_test::OfType(sim::kVersionRequest)); }

  ScopedEnv library_{plat::kWinUsbLibraryVar, DRAL_WINUSB_LIBRARY_PATH};
  TestRegistrar registrar_;  // outlives the links
  AdapterSimulator adapter_;
  LinkEvents events_;
  std::atomic<int> opens_{0};  // the manager's tries to open the link
};

TEST_P(UsbLinkUnderManagerTest, RemovalWhileTrafficFlowsDropsTheLinkAndTheComebackIsFound) {
  dral_test::AdapterDeviceFront front(adapter_, FrontOptions());
  ASSERT_TRUE(front.Plug());
  auto mgr = std::make_unique<THuxMgr>(true, Table());
  mgr->LinkChangedHandler.Set(LinkChangedClosure::Of<&LinkEvents::OnLinkChanged>(&events_));
  mgr->Start();
  ASSERT_TRUE(WaitUntil([&] { return events_.ups.load() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return VersionRequests() >= 1 && mgr->FramesReceived() >= 1; }));

  // Traffic both ways for the rest of the test: the adapter sends CAN frames, the host sends
  // CAN transmits, whether or not a link is up.
  std::atomic<bool> stop{false};
  std::thread adapterSide([&] {
    while (!stop) {
      adapter_.InjectCan(1, 0x123, {1, 2, 3, 4, 5, 6, 7, 8});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread hostSide([&] {
    const uint8_t transmit[] = {sim::kCanFrame, 0x01, 0x00, 0x00, 0x01, 0x23, 0xAA, 0xBB};
    while (!stop) {
      mgr->Send(transmit, sizeof transmit);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  struct Join {
    std::atomic<bool>& stop;
    std::thread& a;
    std::thread& b;
    void Now() {
      stop = true;
      if (a.joinable()) a.join();
      if (b.joinable()) b.join();
    }
    ~Join() { Now(); }
  } join{stop, adapterSide, hostSide};  // before the manager goes

  const uint32_t framesBefore = mgr->FramesReceived();
  ASSERT_TRUE(WaitUntil([&] { return mgr->FramesReceived() >= framesBefore + 50; }));
  ASSERT_TRUE(WaitUntil([&] { return adapter_.Count(dral_test::OfType(sim::kCanFrame)) >= 20; }));

  front.Unplug();  // the entry goes and the host's connection hangs up
  ASSERT_TRUE(WaitUntil([&] { return events_.downs.load() == 1; }, 3000));
  EXPECT_EQ(mgr->State(), LinkSearching);
  ASSERT_TRUE(WaitUntil([&] { return registrar_.Unregistrations() == 1; }, 1000));
  EXPECT_FALSE(registrar_.Registered());
  // The manager searches on. Its tries all began after the device went; once two more have
  // ended, the first one's outcome has been handled (a success would have raised the link).
  const int opens = opens_.load();
  ASSERT_TRUE(WaitUntil([&] { return opens_.load() >= opens + 2 || events_.ups.load() > 1; }));
  EXPECT_EQ(events_.ups.load(), 1) << "the link came up without a device";

  const size_t versionsBefore = VersionRequests();
  ASSERT_TRUE(front.Plug());
  ASSERT_TRUE(WaitUntil([&] { return events_.ups.load() == 2; }, 3000));
  EXPECT_EQ(mgr->State(), LinkConnected);
  ASSERT_TRUE(WaitUntil([&] { return VersionRequests() > versionsBefore; }));
  const uint32_t framesAgain = mgr->FramesReceived();
  ASSERT_TRUE(WaitUntil([&] { return mgr->FramesReceived() >= framesAgain + 50; }));
  EXPECT_EQ(registrar_.Registrations(), 2);

  join.Now();
  mgr.reset();  // ends the links: the device is closed and its registration ended
  EXPECT_EQ(registrar_.Unregistrations(), 2);
  EXPECT_FALSE(registrar_.Registered());
}

INSTANTIATE_TEST_SUITE_P(Links, UsbLinkUnderManagerTest,
                         ::testing::Values(Kind::UsbDriver, Kind::WinUsb),
                         [](const auto& param) {
                           return param.param == Kind::UsbDriver ? std::string("UsbDriver")
                                                                : std::string("WinUsb");
                         });

}  // namespace
}  // namespace dral
