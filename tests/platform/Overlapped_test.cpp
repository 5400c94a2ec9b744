#include "plat/overlapped.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device_test_util.h"
#include "ipc_test_util.h"
#include "plat/device_interface.h"
#include "testsupport/SimWinUsbDevice.h"
#include "testsupport/test_env.h"
#include "testsupport/thread_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using plat::IoStatus;

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// A stream-socket device in the test's device folder, opened as a handle, with the device's
// end of the connection accepted.
class OverlappedIo : public dral_test::IsolatedTest {
 protected:
  void SetUp() override {
    device_ = std::make_unique<dral_test::SimSocketDevice>(
        plat_test::MakeClassFolder(plat_test::kUsbClass) + "/dev0");
    ASSERT_TRUE(device_->Listening());
    uint32_t error = 0;
    handle_ = plat::CreateDeviceFile(device_->Path(), &error);
    ASSERT_NE(handle_, 0u) << error;
    ASSERT_TRUE(device_->Accept(2000));
  }
  void TearDown() override {
    if (handle_) plat::CloseDeviceFile(handle_);
  }

  std::unique_ptr<dral_test::SimSocketDevice> device_;
  plat::DeviceHandle handle_ = 0;
};

TEST_F(OverlappedIo, ReadPendsUntilTheDeviceSendsThenCompletesWithTheBytes) {
  plat::Overlapped ov;
  char buf[16] = {};
  const plat::IoResult start = plat::ReadFile(handle_, buf, sizeof buf, ov);
  ASSERT_EQ(start.Status, IoStatus::Pending);
  EXPECT_EQ(start.Error, plat::kErrorIoPending);
  EXPECT_FALSE(ov.GetEvent().IsSet());
  const plat::IoResult early = plat::GetOverlappedResult(ov, 0);
  EXPECT_EQ(early.Status, IoStatus::Pending);
  EXPECT_EQ(early.Error, plat::kErrorIoIncomplete);

  ASSERT_TRUE(device_->Send(Bytes("abc")));
  ASSERT_EQ(ov.Wait(2000), plat::WaitResult::Signaled);
  const plat::IoResult done = plat::GetOverlappedResult(ov, 0);
  EXPECT_EQ(done.Status, IoStatus::Completed);
  EXPECT_EQ(done.Bytes, 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(OverlappedIo, ReadOfWaitingBytesCompletesAtOnceAndSetsTheEvent) {
  // A local socket queues the bytes at the reader's end before Send returns.
  ASSERT_TRUE(device_->Send(Bytes("xyz")));
  plat::Overlapped ov;
  char buf[2] = {};
  const plat::IoResult r = plat::ReadFile(handle_, buf, sizeof buf, ov);
  EXPECT_EQ(r.Status, IoStatus::Completed);
  EXPECT_EQ(r.Bytes, 2u);
  EXPECT_TRUE(ov.GetEvent().IsSet());
  // The rest stays for the next read.
  EXPECT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Bytes, 1u);
  EXPECT_EQ(buf[0], 'z');
}

TEST_F(OverlappedIo, ResultWithWaitWaitsForTheCompletionOrTimesOut) {
  plat::Overlapped ov;
  char buf[8];
  ASSERT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Status, IoStatus::Pending);

  const auto t0 = Clock::now();
  EXPECT_EQ(ov.Wait(150), plat::WaitResult::Timeout);
  const plat::IoResult timedOut = plat::GetOverlappedResult(ov, 150);
  const auto waited = Clock::now() - t0;
  EXPECT_EQ(timedOut.Error, plat::kErrorIoIncomplete);
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));

  // The bytes come once this thread sleeps in the wait, so the completion has to wake it.
  const pid_t self = dral_test::ThisThreadId();
  std::atomic<bool> waiting{false};
  std::thread sender([&] {
    EXPECT_TRUE(plat_test::WaitUntil([&] { return waiting.load(); }, 5000));
    EXPECT_TRUE(dral_test::WaitUntilThreadSleeps(self)) << "the wait never blocked";
    device_->Send(Bytes("late"));
  });
  waiting = true;
  const plat::IoResult r = plat::GetOverlappedResult(ov, 3000);
  sender.join();
  EXPECT_EQ(r.Status, IoStatus::Completed);
  EXPECT_EQ(r.Bytes, 4u);
}

TEST_F(OverlappedIo, WriteCompletesAndTheDeviceReceivesTheBytes) {
  plat::Overlapped ov;
  const std::string text = "hello";
  const plat::IoResult r = plat::WriteFile(handle_, text.data(), 5, ov);
  EXPECT_EQ(r.Status, IoStatus::Completed);
  EXPECT_EQ(r.Bytes, 5u);
  EXPECT_EQ(device_->Receive(64, 2000), Bytes("hello"));
}

TEST_F(OverlappedIo, WriteLargerThanTheSocketTakesCompletesOnceTheDeviceDrainsIt) {
  std::vector<uint8_t> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  plat::Overlapped ov;
  ASSERT_EQ(plat::WriteFile(handle_, data.data(), static_cast<uint32_t>(data.size()), ov).Status,
            IoStatus::Pending);
  std::vector<uint8_t> received;
  while (received.size() < data.size()) {
    const auto chunk = device_->Receive(1 << 16, 2000);
    ASSERT_FALSE(chunk.empty());
    received.insert(received.end(), chunk.begin(), chunk.end());
  }
  const plat::IoResult r = plat::GetOverlappedResult(ov, 2000);
  EXPECT_EQ(r.Status, IoStatus::Completed);
  EXPECT_EQ(r.Bytes, data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(OverlappedIo, CancelIoAbortsOnlyTheCallingThreadsOperationAndConsumesNothing) {
  plat::Overlapped mine, theirs;
  char mineBuf[8], theirBuf[8] = {};
  ASSERT_EQ(plat::ReadFile(handle_, mineBuf, sizeof mineBuf, mine).Status, IoStatus::Pending);
  std::thread other([&] { plat::ReadFile(handle_, theirBuf, sizeof theirBuf, theirs); });
  other.join();
  ASSERT_TRUE(theirs.IsPending());

  EXPECT_TRUE(plat::CancelIo(handle_));
  // Synchronous: completed by the time CancelIo returns.
  EXPECT_TRUE(mine.GetEvent().IsSet());
  EXPECT_EQ(plat::GetOverlappedResult(mine, 0).Error, plat::kErrorOperationAborted);
  EXPECT_TRUE(theirs.IsPending());
  EXPECT_FALSE(plat::CancelIo(handle_)) << "nothing of this thread is pending any more";

  ASSERT_TRUE(device_->Send(Bytes("ok")));
  const plat::IoResult r = plat::GetOverlappedResult(theirs, 2000);
  EXPECT_EQ(r.Bytes, 2u);
  EXPECT_EQ(std::string(theirBuf, 2), "ok");
}

TEST_F(OverlappedIo, CancelIoExCancelsOneRecordAndReportsWhenNothingPends) {
  plat::Overlapped a, b;
  char bufA[4], bufB[4];
  ASSERT_EQ(plat::ReadFile(handle_, bufA, sizeof bufA, a).Status, IoStatus::Pending);
  ASSERT_EQ(plat::ReadFile(handle_, bufB, sizeof bufB, b).Status, IoStatus::Pending);
  EXPECT_TRUE(plat::CancelIoEx(b));
  EXPECT_EQ(plat::GetOverlappedResult(b, 0).Error, plat::kErrorOperationAborted);
  EXPECT_TRUE(a.IsPending());
  EXPECT_FALSE(plat::CancelIoEx(b));
  ASSERT_TRUE(device_->Send(Bytes("1")));
  EXPECT_EQ(plat::GetOverlappedResult(a, 2000).Bytes, 1u);
  EXPECT_FALSE(plat::CancelIoEx(a));
}

TEST_F(OverlappedIo, ReadsCompleteInTheOrderTheyWereStarted) {
  plat::Overlapped first, second;
  char b1 = 0, b2 = 0;
  ASSERT_EQ(plat::ReadFile(handle_, &b1, 1, first).Status, IoStatus::Pending);
  ASSERT_EQ(plat::ReadFile(handle_, &b2, 1, second).Status, IoStatus::Pending);
  ASSERT_TRUE(device_->Send(Bytes("12")));
  ASSERT_EQ(plat::GetOverlappedResult(second, 2000).Bytes, 1u);
  ASSERT_EQ(plat::GetOverlappedResult(first, 2000).Bytes, 1u);
  EXPECT_EQ(b1, '1');
  EXPECT_EQ(b2, '2');
}

TEST_F(OverlappedIo, ARecordIsRefusedWhileItsOperationPends) {
  plat::Overlapped ov;
  char buf[4];
  ASSERT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Status, IoStatus::Pending);
  const plat::IoResult again = plat::ReadFile(handle_, buf, sizeof buf, ov);
  EXPECT_EQ(again.Status, IoStatus::Failed);
  EXPECT_EQ(again.Error, plat::kErrorInvalidParameter);
  EXPECT_TRUE(ov.IsPending());
}

TEST_F(OverlappedIo, HangUpCompletesAPendingReadAndFailsWritesWithoutSignal) {
  plat::Overlapped ov;
  char buf[4];
  ASSERT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Status, IoStatus::Pending);
  device_->HangUp();
  const plat::IoResult r = plat::GetOverlappedResult(ov, 2000);
  EXPECT_EQ(r.Status, IoStatus::Failed);
  EXPECT_EQ(r.Error, plat::kErrorDeviceNotConnected);
  // A write to the hung-up socket must not raise SIGPIPE (which would end the test binary).
  plat::Overlapped w;
  const plat::IoResult wr = plat::WriteFile(handle_, "x", 1, w);
  EXPECT_EQ(wr.Status, IoStatus::Failed);
  EXPECT_EQ(wr.Error, plat::kErrorDeviceNotConnected);
}

TEST_F(OverlappedIo, ClosingTheHandleAbortsPendingOperations) {
  plat::Overlapped ov;
  char buf[4];
  ASSERT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Status, IoStatus::Pending);
  ASSERT_TRUE(plat::CloseDeviceFile(handle_));
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorOperationAborted);
  EXPECT_EQ(plat::ReadFile(handle_, buf, sizeof buf, ov).Error, plat::kErrorInvalidHandle);
  handle_ = 0;
}

TEST_F(OverlappedIo, DestroyingAPendingRecordCancelsItsRead) {
  {
    auto buf = std::make_unique<char[]>(8);
    plat::Overlapped ov;
    ASSERT_EQ(plat::ReadFile(handle_, buf.get(), 8, ov).Status, IoStatus::Pending);
    // ov is destroyed before buf: the read must be gone by then.
  }
  ASSERT_TRUE(device_->Send(Bytes("kept")));
  plat::Overlapped ov;
  char buf[8];
  EXPECT_EQ(plat::GetOverlappedResult(ov, 0).Error, plat::kErrorInvalidParameter)
      << "a record that never started reports no result";
  plat::ReadFile(handle_, buf, sizeof buf, ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Bytes, 4u);
}

// A close on one thread while another keeps writing: the writer sees aborted or invalid-handle
// results, never a descriptor that is closed or reused (ASan/TSan watch this one).
TEST_F(OverlappedIo, CloseWhileAnotherThreadWritesIsSafe) {
  std::atomic<bool> stop{false};
  std::atomic<int> refused{0}, writes{0};
  const plat::DeviceHandle handle = handle_;  // the writer keeps using the closed value
  std::thread writer([&] {
    const char data[256] = {};
    while (!stop.load()) {
      plat::Overlapped ov;
      const plat::IoResult r = plat::WriteFile(handle, data, sizeof data, ov);
      if (r.Pending()) plat::GetOverlappedResult(ov, 20);
      if (r.Error == plat::kErrorInvalidHandle) ++refused;
      ++writes;
    }
  });
  std::thread drainer([&] {
    while (!stop.load()) device_->Receive(1 << 16, 5);
  });
  // The close comes while the writer is busy.
  EXPECT_TRUE(plat_test::WaitUntil([&] { return writes.load() >= 20; }, 5000));
  EXPECT_TRUE(plat::CloseDeviceFile(handle));
  EXPECT_TRUE(plat_test::WaitUntil([&] { return refused.load() > 0; }, 2000));
  stop = true;
  writer.join();
  drainer.join();
}

TEST_F(OverlappedIo, SeqPacketReadsOnePacketAndAnEmptyPacketIsNoHangUp) {
  dral_test::SimSocketDevice packets(plat_test::MakeClassFolder(plat_test::kWinUsbClass) + "/p",
                                     SOCK_SEQPACKET);
  uint32_t error = 0;
  const plat::DeviceHandle h = plat::CreateDeviceFile(packets.Path(), &error);
  ASSERT_NE(h, 0u) << error;
  ASSERT_TRUE(packets.Accept(2000));
  ASSERT_TRUE(packets.Send(Bytes("one")));
  ASSERT_TRUE(packets.Send({}));
  ASSERT_TRUE(packets.Send(Bytes("two")));
  char buf[16];
  plat::Overlapped ov;
  EXPECT_EQ(plat::ReadFile(h, buf, sizeof buf, ov).Bytes, 3u);
  const plat::IoResult empty = plat::ReadFile(h, buf, sizeof buf, ov);
  EXPECT_EQ(empty.Status, IoStatus::Completed);
  EXPECT_EQ(empty.Bytes, 0u);
  EXPECT_EQ(plat::ReadFile(h, buf, sizeof buf, ov).Bytes, 3u);
  packets.HangUp();
  plat::ReadFile(h, buf, sizeof buf, ov);
  EXPECT_EQ(plat::GetOverlappedResult(ov, 2000).Error, plat::kErrorDeviceNotConnected);
  plat::CloseDeviceFile(h);
}

TEST_F(OverlappedIo, AFifoReadsBackWhatWasWritten) {
  const std::string path = plat_test::MakeClassFolder(plat_test::kUsbClass) + "/loop";
  ASSERT_TRUE(plat_test::MakeFifo(path));
  uint32_t error = 0;
  const plat::DeviceHandle h = plat::CreateDeviceFile(path, &error);
  ASSERT_NE(h, 0u) << error;
  char buf[8] = {};
  plat::Overlapped r, w;
  ASSERT_EQ(plat::ReadFile(h, buf, sizeof buf, r).Status, IoStatus::Pending);
  EXPECT_EQ(plat::WriteFile(h, "fifo", 4, w).Bytes, 4u);
  EXPECT_EQ(plat::GetOverlappedResult(r, 2000).Bytes, 4u);
  EXPECT_EQ(std::string(buf, 4), "fifo");
  plat::CloseDeviceFile(h);
}

}  // namespace
