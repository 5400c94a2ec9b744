#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "device_test_util.h"
#include "ipc_test_util.h"
#include "plat/device_notice.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"

namespace {

// Collects the notices the source delivers.
class NoticeLog {
 public:
  plat::DeviceNoticeSource::Sink Sink() {
    return [this](const plat::DeviceNotice& n) {
      std::lock_guard<std::mutex> lock(mutex_);
      notices_.push_back(n);
      cv_.notify_all();
    };
  }
  // Waits up to 3 s until at least `count` notices came; returns what came.
  std::vector<plat::DeviceNotice> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(3), [&] { return notices_.size() >= count; });
    return notices_;
  }
  std::vector<plat::DeviceNotice> Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
  }

 private:
  std::mutex mutex_;  // guards notices_
  std::condition_variable cv_;
  std::vector<plat::DeviceNotice> notices_;
};

class DeviceNotice : public dral_test::IsolatedTest {
 protected:
  void SetUp() override {
    folder_ = plat_test::MakeClassFolder(plat_test::kUsbClass);
    source_.SetDeviceNoticeSink(log_.Sink());
  }
  void TearDown() override {
    for (auto h : handles_) plat::CloseDeviceFile(h);
  }
  plat::DeviceHandle OpenFifo(const std::string& name) {
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(plat_test::MakeFifo(path));
    uint32_t error = 0;
    const plat::DeviceHandle h = plat::CreateDeviceFile(path, &error);
    EXPECT_NE(h, 0u) << error;
    handles_.push_back(h);
    return h;
  }
  plat::DeviceNotifyHandle Register(plat::DeviceHandle h, uintptr_t recipient = 0) {
    uint32_t error = 0;
    const plat::DeviceNotifyHandle n = source_.RegisterDeviceHandle(h, recipient, &error);
    EXPECT_NE(n, 0u) << error;
    return n;
  }

  // Proves that the watcher has dealt with everything done before the call: removes two marker
  // entries (in a folder of their own) one after the other and waits for each one's notice. The
  // second removal is read in a later round of the watcher than the first, so once its notice
  // is here every notice of an earlier change has been delivered. Returns the notices so far
  // other than the markers'.
  std::vector<plat::DeviceNotice> NoticesAfterMarkers() {
    const std::string folder = plat_test::MakeClassFolder(plat_test::kWinUsbClass);
    for (int i = 0; i < 2; ++i) {
      const std::string path = folder + "/marker" + std::to_string(markers_.size());
      EXPECT_TRUE(plat_test::MakeFifo(path));
      uint32_t error = 0;
      const plat::DeviceHandle h = plat::CreateDeviceFile(path, &error);
      EXPECT_NE(h, 0u) << error;
      handles_.push_back(h);
      markers_.push_back(h);
      Register(h);
      unlink(path.c_str());
      EXPECT_TRUE(plat_test::WaitUntil(
          [&] {
            for (const auto& n : log_.Now()) {
              if (n.Handle == h) return true;
            }
            return false;
          },
          3000))
          << "the marker's removal was not reported";
    }
    return WithoutMarkers(log_.Now());
  }
  std::vector<plat::DeviceNotice> WithoutMarkers(const std::vector<plat::DeviceNotice>& all) {
    std::vector<plat::DeviceNotice> rest;
    for (const auto& n : all) {
      if (std::find(markers_.begin(), markers_.end(), n.Handle) == markers_.end()) {
        rest.push_back(n);
      }
    }
    return rest;
  }

  std::string folder_;
  std::vector<plat::DeviceHandle> handles_;
  std::vector<plat::DeviceHandle> markers_;
  NoticeLog log_;
  plat::DeviceNoticeSource source_;  // destroyed first: joins its watcher before log_ goes
};

TEST_F(DeviceNotice, DeletingTheEntryReachesTheSinkExactlyOnce) {
  const plat::DeviceHandle h = OpenFifo("dev0");
  const plat::DeviceNotifyHandle n = Register(h, 0x1234);
  ASSERT_EQ(unlink((folder_ + "/dev0").c_str()), 0);

  const auto notices = log_.WaitFor(1);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].Event, plat::kDbtDeviceRemoveComplete);
  EXPECT_EQ(notices[0].DeviceType, plat::kDbtDevTypeHandle);
  EXPECT_EQ(notices[0].Handle, h);
  EXPECT_EQ(notices[0].Notification, n);
  EXPECT_EQ(notices[0].Recipient, 0x1234u);
  EXPECT_EQ(notices[0].Path, folder_ + "/dev0");
  EXPECT_EQ(notices[0].Cause, plat::RemovalCause::EntryDeleted);
  // A new entry of the same name does not make the old removal count twice.
  ASSERT_TRUE(plat_test::MakeFifo(folder_ + "/dev0"));
  unlink((folder_ + "/dev0").c_str());
  EXPECT_EQ(NoticesAfterMarkers().size(), 1u);
}

TEST_F(DeviceNotice, HangUpReachesTheSinkExactlyOnceEvenWhenTheEntryGoesToo) {
  dral_test::SimSocketDevice device(folder_ + "/dev0");
  uint32_t error = 0;
  const plat::DeviceHandle h = plat::CreateDeviceFile(device.Path(), &error);
  ASSERT_NE(h, 0u) << error;
  handles_.push_back(h);
  ASSERT_TRUE(device.Accept(2000));
  Register(h);
  // The source watches its own duplicate: the caller may close its handle first, and that
  // is no removal.
  plat::CloseDeviceFile(h);
  EXPECT_TRUE(NoticesAfterMarkers().empty());

  device.HangUp();
  const auto notices = WithoutMarkers(log_.WaitFor(markers_.size() + 1));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].Cause, plat::RemovalCause::HangUp);
  device.Remove();
  EXPECT_EQ(NoticesAfterMarkers().size(), 1u);
}

TEST_F(DeviceNotice, OnlyTheRegisteredEntryCountsAndUnregisteredOnesStaySilent) {
  const plat::DeviceHandle watched = OpenFifo("dev-a");
  const plat::DeviceHandle dropped = OpenFifo("dev-b");
  OpenFifo("dev-c");
  Register(watched);
  ASSERT_TRUE(source_.Unregister(Register(dropped)));
  EXPECT_FALSE(source_.Unregister(9999));

  unlink((folder_ + "/dev-b").c_str());
  unlink((folder_ + "/dev-c").c_str());
  EXPECT_TRUE(NoticesAfterMarkers().empty());
  unlink((folder_ + "/dev-a").c_str());
  const auto notices = WithoutMarkers(log_.WaitFor(markers_.size() + 1));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].Handle, watched);
}

TEST_F(DeviceNotice, AnEntryAlreadyGoneWhenRegisteredIsReportedAtOnce) {
  const plat::DeviceHandle h = OpenFifo("dev0");
  unlink((folder_ + "/dev0").c_str());
  Register(h);
  EXPECT_EQ(log_.WaitFor(1).size(), 1u);
}

TEST_F(DeviceNotice, RemovingTheFolderReportsEveryRegistration) {
  Register(OpenFifo("dev-a"));
  Register(OpenFifo("dev-b"));
  std::filesystem::remove_all(folder_);
  EXPECT_EQ(log_.WaitFor(2).size(), 2u);
  EXPECT_EQ(NoticesAfterMarkers().size(), 2u);
}

TEST_F(DeviceNotice, AClosedHandleCannotBeRegistered) {
  const plat::DeviceHandle h = OpenFifo("dev0");
  plat::CloseDeviceFile(h);
  uint32_t error = 0;
  EXPECT_EQ(source_.RegisterDeviceHandle(h, 0, &error), 0u);
  EXPECT_EQ(error, plat::kErrorInvalidHandle);
}

// The receiving side typically ends its registration from the notice (through the main
// thread in the program); doing it right in the sink must not dead-lock either.
TEST_F(DeviceNotice, TheSinkMayUnregisterAndReplaceItself) {
  const plat::DeviceHandle a = OpenFifo("dev-a");
  const plat::DeviceHandle b = OpenFifo("dev-b");
  Register(a);
  Register(b);
  std::mutex m;
  std::vector<plat::DeviceHandle> seen;
  source_.SetDeviceNoticeSink([&](const plat::DeviceNotice& n) {
    EXPECT_TRUE(source_.Unregister(n.Notification));
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(n.Handle);
    if (seen.size() == 2) source_.SetDeviceNoticeSink(nullptr);
  });
  unlink((folder_ + "/dev-a").c_str());
  unlink((folder_ + "/dev-b").c_str());
  EXPECT_TRUE(plat_test::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return seen.size() == 2;
      },
      3000));
}

}  // namespace
