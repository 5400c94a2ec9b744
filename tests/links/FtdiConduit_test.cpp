// The FTDI link over the fake D2XX library: device choice, configuration, polling in blocks,
// writes against Close, a library it must refuse, and the link under the real link manager.
#include "links/FtdiConduit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LinkTestUtil.h"
#include "classlib/exception.h"
#include "server/HuxMgr.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/FakeFtd2xx.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::AdapterSimulator;
using dral_test::FakeFtd2xx;
using dral_test::kFtdiAdapterId;
using dral_test::Received;
using dral_test::ScopedEnv;
using dral_test::WaitUntil;
using Lines = std::vector<std::string>;
namespace sim = dral_test::sim;

class FtdiConduitTest : public dral_test::IsolatedTest {
 protected:
  // Calls whose names start with `prefix`.
  Lines Calls(const std::string& prefix) const {
    Lines out;
    for (const auto& line : fake_.Log()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }

  ScopedEnv library_{plat::kFtd2xxLibraryVar, dral_test::kFakeFtd2xxPath};
  FakeFtd2xx fake_;
};

TEST_F(FtdiConduitTest, OpenConfiguresTheFirstMatchingDeviceInOrderAndStartsPolling) {
  fake_.Add(0x04036001, "OTHER1");  // another FTDI product: not ours
  const int adapter = fake_.Add(kFtdiAdapterId, "ADAPTER1");
  TFtdiConduit link;
  EXPECT_FALSE(link.IsOpen());

  ASSERT_TRUE(link.Open("827586", "ignored"));
  EXPECT_TRUE(link.IsOpen());
  EXPECT_TRUE(fake_.IsOpen(adapter));
  EXPECT_EQ(link.BaudRate(), 827586);
  // The library learns the adapter's ids (0x14EC, 0x9280) before it lists or opens anything.
  EXPECT_EQ(fake_.Log(), (Lines{"FT_SetVIDPID 5356 37504", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList",
                                "FT_OpenEx ADAPTER1 1", "FT_SetBaudRate 827586",
                                "FT_SetDataCharacteristics 8 0 0", "FT_SetFlowControl 0 0 0",
                                "FT_SetTimeouts 2000 2000", "FT_SetLatencyTimer 1"}));
  const uint64_t polls = fake_.StatusPolls();
  EXPECT_TRUE(WaitUntil([&] { return fake_.StatusPolls() > polls + 5; }));
  EXPECT_EQ(link.PortName(), "Ostrel Xov");
  EXPECT_EQ(link.PortInfo(), "USB Full Speed");

  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(fake_.IsOpen(adapter));
  EXPECT_EQ(link.RxThread(), nullptr);
  EXPECT_EQ(fake_.StaleHandleCalls(), 0u);
}

TEST_F(FtdiConduitTest, OpenWithABaudRateThatIsNoNumberOpensAt115200) {
  fake_.Add(kFtdiAdapterId, "ADAPTER1");
  for (const char* text : {"fast", "", "9600x", "12 00"}) {
    SCOPED_TRACE(text);
    TFtdiConduit link;
    fake_.ClearLog();
    ASSERT_TRUE(link.Open(text, ""));
    EXPECT_EQ(link.BaudRate(), 115200);
    EXPECT_EQ(Calls("FT_SetBaudRate"), Lines{"FT_SetBaudRate 115200"});
  }
}

TEST_F(FtdiConduitTest, OpenWhileOpenReturnsFalseAndLeavesTheDeviceAlone) {
  const int first = fake_.Add(kFtdiAdapterId, "ADAPTER1");
  const int second = fake_.Add(kFtdiAdapterId, "ADAPTER2");
  TFtdiConduit link;
  ASSERT_TRUE(link.Open("827586", ""));
  TFtdiRxThread* rx = link.RxThread();
  fake_.ClearLog();

  EXPECT_FALSE(link.Open("9600", ""));
  EXPECT_TRUE(fake_.Log().empty());  // no list, no open, no configuration
  EXPECT_EQ(link.RxThread(), rx);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_TRUE(fake_.IsOpen(first));
  EXPECT_FALSE(fake_.IsOpen(second));
  EXPECT_EQ(link.BaudRate(), 9600);  // the argument is taken all the same

  // The first open's receive thread still delivers.
  Received received;
  link.SetReceiveHandler(received.Handler());
  fake_.Push(first, {1, 2, 3});
  ASSERT_TRUE(received.WaitForBytes(3, 5000));
}

TEST_F(FtdiConduitTest, WithTwoMatchingDevicesTheFirstThatOpensIsUsed) {
  const int refusing = fake_.Add(kFtdiAdapterId, "BUSY");
  const int chosen = fake_.Add(kFtdiAdapterId, "ADAPTER2");
  const int untouched = fake_.Add(kFtdiAdapterId, "ADAPTER3");
  fake_.SetRefuseOpen(refusing, true);
  TFtdiConduit link;

  ASSERT_TRUE(link.Open("827586", ""));
  EXPECT_EQ(Calls("FT_OpenEx"), (Lines{"FT_OpenEx BUSY 1", "FT_OpenEx ADAPTER2 1"}));
  EXPECT_TRUE(fake_.IsOpen(chosen));
  EXPECT_FALSE(fake_.IsOpen(untouched));
  EXPECT_FALSE(fake_.IsOpen(refusing));
}

TEST_F(FtdiConduitTest, OpenFailsWithoutAnOpenableMatchingDeviceOrAReadableList) {
  TFtdiConduit link;
  fake_.ClearLog();
  EXPECT_FALSE(link.Open("827586", ""));  // nothing attached
  EXPECT_EQ(fake_.Log(), Lines{"FT_CreateDeviceInfoList"});

  fake_.Add(0x04036001, "OTHER1");
  EXPECT_FALSE(link.Open("827586", ""));  // no match
  const int busy = fake_.Add(kFtdiAdapterId, "BUSY");
  fake_.SetRefuseOpen(busy, true);
  EXPECT_FALSE(link.Open("827586", ""));  // the match does not open
  fake_.SetRefuseOpen(busy, false);
  fake_.SetListFailure(true);
  EXPECT_FALSE(link.Open("827586", ""));  // the list cannot be read
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.RxThread(), nullptr);
  EXPECT_TRUE(Calls("FT_Set").empty());

  fake_.SetListFailure(false);
  EXPECT_TRUE(link.Open("827586", ""));  // asked again, it opens
}

TEST_F(FtdiConduitTest, TheLinksTraceTextsGoNowhereEvenWithDebugOutputOn) {
  TFtdiConduit link;
  const int busy = fake_.Add(kFtdiAdapterId, "BUSY");
  fake_.SetRefuseOpen(busy, true);
  std::string out;
  {
    const dral_test::ScopedEnv debug("DRAL_DEBUG", "1");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(link.Open("827586", ""));  // the match does not open
    fake_.SetListFailure(true);
    EXPECT_FALSE(link.Open("827586", ""));  // the list cannot be read
    out = testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(out, "");
}

TEST_F(FtdiConduitTest, MoreThanOneBufferOfQueuedBytesArrivesInBlocksOfAtMost4096) {
  const int adapter = fake_.Add(kFtdiAdapterId, "ADAPTER1");
  std::vector<uint8_t> queued(10000);
  for (size_t i = 0; i < queued.size(); ++i) queued[i] = static_cast<uint8_t>(i * 7);
  fake_.Push(adapter, queued);  // all of it waits before the first poll
  Received received;
  TFtdiConduit link;
  link.SetReceiveHandler(received.Handler());  // before Open: the receive thread gets it

  ASSERT_TRUE(link.Open("827586", ""));
  ASSERT_TRUE(received.WaitForBytes(queued.size(), 5000));
  EXPECT_EQ(received.Bytes(), queued);
  const std::vector<int> blocks = received.Blocks();
  ASSERT_GE(blocks.size(), 3u);
  EXPECT_EQ(blocks.front(), 4096);
  EXPECT_EQ(*std::max_element(blocks.begin(), blocks.end()), 4096);
  EXPECT_EQ(fake_.Pending(adapter), 0u);
}

TEST_F(FtdiConduitTest, ADetachedHandlerGetsNothingAndTheBytesAreDropped) {
  const int adapter = fake_.Add(kFtdiAdapterId, "ADAPTER1");
  Received received;
  TFtdiConduit link;
  link.SetReceiveHandler(received.Handler());
  ASSERT_TRUE(link.Open("827586", ""));
  link.SetReceiveHandler(ReceiveHandler{});
  fake_.Push(adapter, {1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return fake_.Pending(adapter) == 0; }));
  EXPECT_EQ(received.Calls(), 0);
}

TEST_F(FtdiConduitTest, WriteWhileClosedReturns0WithoutCallingTheLibrary) {
  fake_.Add(kFtdiAdapterId, "ADAPTER1");
  TFtdiConduit link;
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(link.Write(bytes, 3), 0);  // never opened
  ASSERT_TRUE(link.Open("827586", ""));
  EXPECT_EQ(link.Write(bytes, 3), 3);
  link.Close();
  fake_.ClearLog();
  EXPECT_EQ(link.Write(bytes, 3), 0);  // closed again
  EXPECT_TRUE(fake_.Log().empty());
  EXPECT_EQ(fake_.StaleHandleCalls(), 0u);
}

TEST_F(FtdiConduitTest, AFailedWriteReturns0AndKeepsTheStatus) {
  const int adapter = fake_.Add(kFtdiAdapterId, "ADAPTER1");
  TFtdiConduit link;
  ASSERT_TRUE(link.Open("827586", ""));
  fake_.Remove(adapter);  // unplugged: the handle stays, the device is gone
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(link.Write(bytes, 3), 0);
  EXPECT_EQ(link.LastStatus(), plat::kFtDeviceNotFound);
  EXPECT_TRUE(link.IsOpen());  // no removal notice: open until closed
}

TEST_F(FtdiConduitTest, CloseWhileAnotherThreadWritesNeverUsesAClosedHandle) {
  fake_.Add(kFtdiAdapterId, "ADAPTER1");
  TFtdiConduit link;
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(link.Open("827586", ""));
    std::atomic<int> writes{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      const uint8_t bytes[64] = {};
      while (!stop.load()) {
        if (link.Write(bytes, sizeof bytes) > 0) writes.fetch_add(1);
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return writes.load() >= 10; }));
    link.Close();
    stop.store(true);
    writer.join();
  }
  EXPECT_EQ(fake_.StaleHandleCalls(), 0u);
}

TEST_F(FtdiConduitTest, ALibraryWithoutSetVidPidOpensTheAdapterAsBefore) {
  // The vendor's libraries of other platforms have no FT_SetVIDPID: nothing is missing.
  ScopedEnv library(plat::kFtd2xxLibraryVar, dral_test::kNoVidPidFtd2xxPath);
  FakeFtd2xx fake(dral_test::kNoVidPidFtd2xxPath);
  const int adapter = fake.Add(kFtdiAdapterId, "ADAPTER1");
  TFtdiConduit link;
  ASSERT_TRUE(link.Open("827586", ""));
  EXPECT_TRUE(fake.IsOpen(adapter));
  EXPECT_EQ(fake.Log().front(), "FT_CreateDeviceInfoList");
}

TEST_F(FtdiConduitTest, ALibraryThatLacksAnEntryPointOrIsMissingIsRefused) {
  for (const std::string& path : {std::string(dral_test::kPartialFtd2xxPath),
                                 env_.TempDir() + "/no-such-libftd2xx.so"}) {
    SCOPED_TRACE(path);
    ScopedEnv library(plat::kFtd2xxLibraryVar, path);
    try {
      TFtdiConduit link;
      ADD_FAILURE() << "the link was made";
    } catch (const cls::Exception& e) {
      EXPECT_STREQ(e.what(), "Unable to load FTDI DLL (FTD2XX.DLL).");
    }
  }
}

TEST_F(FtdiConduitTest, ARefusedLibraryLeavesTheRowEmptyAndTheManagerWorksWithout) {
  AdapterSimulator adapter;
  dral_test::FtdiAdapterFront front(fake_, adapter, "ADAPTER1");
  LinkFactoryTable table;
  table[LinkRowFtdi] = [] {
    return std::make_unique<TFtdiConduit>(dral_test::kPartialFtd2xxPath);
  };
  auto mgr = std::make_unique<THuxMgr>(true, table);
  mgr->Start();
  // The manager keeps searching (its table is empty) and never lists a device.
  const uint64_t polls = fake_.StatusPolls();
  ASSERT_TRUE(WaitUntil([&] { return mgr->State() == LinkSearching; }, 5000));
  mgr.reset();
  EXPECT_TRUE(Calls("FT_CreateDeviceInfoList").empty());
  EXPECT_EQ(fake_.StatusPolls(), polls);
}

TEST_F(FtdiConduitTest, TheLinkManagerConnectsOverTheLinkAndCarriesTrafficBothWays) {
  AdapterSimulator adapter;
  adapter.SetTransmitAnswer(dral_test::TransmitAnswer::Accept);
  dral_test::FtdiAdapterFront front(fake_, adapter, "ADAPTER1");
  LinkFactoryTable table;
  table[LinkRowFtdi] = [] { return std::make_unique<TFtdiConduit>(); };
  auto mgr = std::make_unique<THuxMgr>(true, table);
  mgr->Start();
  ASSERT_TRUE(WaitUntil([&] {
    return adapter.Count(dral_test::OfType(sim::kVersionRequest)) >= 1 &&
           mgr->FramesReceived() >= 1;
  }));
  EXPECT_EQ(Calls("FT_SetBaudRate"), Lines{"FT_SetBaudRate 827586"});
  std::string name;
  mgr->PortName(name);
  EXPECT_EQ(name, "Ostrel Xov");

  const uint64_t frames = mgr->FramesReceived();
  for (int i = 0; i < 50; ++i) adapter.InjectCan(1, 0x100 + i, {1, 2, 3, 4});
  ASSERT_TRUE(WaitUntil([&] { return mgr->FramesReceived() >= frames + 50; }));
  const uint8_t transmit[] = {sim::kCanFrame, 0x01, 0x00, 0x00, 0x01, 0x23, 0xAA, 0xBB};
  ASSERT_TRUE(mgr->Send(transmit, sizeof transmit));
  ASSERT_TRUE(adapter.WaitForMessage(dral_test::OfType(sim::kCanFrame), 5000));
  mgr.reset();
  EXPECT_FALSE(fake_.IsOpen(front.Key()));
  EXPECT_EQ(fake_.StaleHandleCalls(), 0u);
}

}  // namespace
}  // namespace dral
