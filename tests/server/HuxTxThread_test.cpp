#include "server/HuxTxThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classlib/exception.h"
#include "plat/named_mutex.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using dral_test::WaitUntil;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// The link side: records every write call and what it took. `Take` decides how many of the
// offered bytes are taken (default: all); it runs on the drain thread.
class Wire {
 public:
  std::function<int(const uint8_t*, int)> Take = [](const uint8_t*, int n) { return n; };

  int Write(const uint8_t* bytes, int n) {
    const int taken = Take(bytes, n);
    std::lock_guard<std::mutex> lock(mutex_);
    offered_.push_back(n);
    const int kept = std::clamp(taken, 0, n);
    written_.insert(written_.end(), bytes, bytes + kept);
    return taken;
  }
  WriteClosure Handler() { return WriteClosure::Of<&Wire::Write>(this); }

  Bytes Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  std::vector<int> Offered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_;
  }
  size_t Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_.size();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_.clear();
    written_.clear();
  }

 private:
  std::mutex mutex_;  // guards offered_ and written_
  std::vector<int> offered_;
  Bytes written_;
};

// A one-shot gate between the drain thread and the test (bounded waits).
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait(int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return open_; });
  }

 private:
  std::mutex mutex_;  // guards open_
  std::condition_variable cv_;
  bool open_ = false;
};

class TransmitRingTest : public dral_test::IsolatedTest {
 protected:
  int Enqueue(THuxTxThread& tx, const Bytes& b) {
    return tx.Enqueue(b.data(), static_cast<int>(b.size()));
  }
  bool Drained(THuxTxThread& tx) {
    return WaitUntil([&] { return tx.Pending() == 0; });
  }
  Wire wire_;
};

TEST_F(TransmitRingTest, EmptyRingAcceptsAFrameOf4095BytesAndRefusesOneOf4096) {
  THuxTxThread tx(true);
  EXPECT_EQ(Enqueue(tx, Bytes(THuxTxThread::kRingSize)), 0);
  EXPECT_EQ(tx.Pending(), 0);
  EXPECT_EQ(Enqueue(tx, Bytes(THuxTxThread::kRingSize - 1)), THuxTxThread::kRingSize - 1);
  EXPECT_EQ(Enqueue(tx, Bytes(1)), 0);
  EXPECT_EQ(tx.Pending(), THuxTxThread::kRingSize - 1);
  const uint8_t one = 0;
  EXPECT_EQ(tx.Enqueue(nullptr, 5), 0);
  EXPECT_EQ(tx.Enqueue(&one, 0), 0);
}

TEST_F(TransmitRingTest, DrainsInOrderInChunksOfAtMost512AndWritesAWrappingFrameInTwoChunks) {
  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  tx.Start();
  const Bytes first = Pattern(4000, 1);
  ASSERT_EQ(Enqueue(tx, first), 4000);
  ASSERT_TRUE(Drained(tx));
  EXPECT_EQ(wire_.Written(), first);
  EXPECT_EQ(wire_.Offered(), (std::vector<int>{512, 512, 512, 512, 512, 512, 512, 416}));

  wire_.Reset();
  const Bytes wrapping = Pattern(200, 9);  // 96 bytes to the ring's end, then 104 from its start
  ASSERT_EQ(Enqueue(tx, wrapping), 200);
  ASSERT_TRUE(Drained(tx));
  EXPECT_EQ(wire_.Written(), wrapping);
  EXPECT_EQ(wire_.Offered(), (std::vector<int>{96, 104}));
}

TEST_F(TransmitRingTest, HandlerThatReportsMoreThanOfferedCountsAsTakingTheChunk) {
  wire_.Take = [](const uint8_t*, int n) { return n + 100; };
  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  tx.Start();
  const Bytes a = Pattern(100, 1);
  const Bytes b = Pattern(50, 77);
  ASSERT_EQ(Enqueue(tx, a), 100);
  ASSERT_TRUE(Drained(tx));
  ASSERT_EQ(Enqueue(tx, b), 50);
  ASSERT_TRUE(Drained(tx));
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(wire_.Written(), both);
  EXPECT_EQ(wire_.Offered(), (std::vector<int>{100, 50}));
}

TEST_F(TransmitRingTest, HandlerThatTakesFewerBytesIsOfferedTheRestInTheNextPass) {
  wire_.Take = [](const uint8_t*, int n) { return std::min(n, 30); };
  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  tx.Start();
  const Bytes frame = Pattern(100, 3);
  ASSERT_EQ(Enqueue(tx, frame), 100);
  ASSERT_TRUE(Drained(tx));
  EXPECT_EQ(wire_.Written(), frame);
  EXPECT_EQ(wire_.Offered(), (std::vector<int>{100, 70, 40, 10}));
}

TEST_F(TransmitRingTest, BytesQueuedBeforeClearAreNeverWritten) {
  wire_.Take = [](const uint8_t*, int) { return 0; };  // a link that is down
  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  tx.Start();
  ASSERT_EQ(Enqueue(tx, Pattern(300, 1)), 300);
  ASSERT_TRUE(WaitUntil([&] { return wire_.Calls() >= 5; }));
  EXPECT_EQ(tx.Pending(), 300);  // nothing taken, nothing dropped

  tx.Clear();
  // Settled at once, or when the write call running at that moment returns.
  ASSERT_TRUE(WaitUntil([&] { return tx.Pending() == 0; }));
  tx.WriteHandler.Clear();  // no write call runs after this: Take may change
  wire_.Take = [](const uint8_t*, int n) { return n; };
  wire_.Reset();
  tx.WriteHandler.Set(wire_.Handler());
  const Bytes fresh = Pattern(40, 200);
  ASSERT_EQ(Enqueue(tx, fresh), 40);
  ASSERT_TRUE(Drained(tx));
  EXPECT_EQ(wire_.Written(), fresh);
}

// Clear while a write call runs: the chunk in flight keeps its bytes (new frames go elsewhere),
// and nothing else queued before the Clear follows it.
TEST_F(TransmitRingTest, ClearDuringAWriteCallDropsTheRestAndSparesTheChunkInFlight) {
  Gate inCall;
  Gate release;
  Bytes seenInFlight;
  bool firstCall = true;
  wire_.Take = [&](const uint8_t* bytes, int n) {
    if (firstCall) {
      firstCall = false;
      inCall.Open();
      EXPECT_TRUE(release.Wait());
      seenInFlight.assign(bytes, bytes + n);  // read only after the Clear and the new frame
    }
    return n;
  };
  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  const Bytes old = Pattern(1000, 5);
  ASSERT_EQ(Enqueue(tx, old), 1000);
  tx.Start();
  ASSERT_TRUE(inCall.Wait());
  tx.Clear();
  const Bytes fresh = Pattern(600, 99);
  ASSERT_EQ(Enqueue(tx, fresh), 600);
  release.Open();
  ASSERT_TRUE(Drained(tx));

  const Bytes firstChunk(old.begin(), old.begin() + THuxTxThread::kChunk);
  EXPECT_EQ(seenInFlight, firstChunk);
  Bytes expected = firstChunk;
  expected.insert(expected.end(), fresh.begin(), fresh.end());
  EXPECT_EQ(wire_.Written(), expected);
}

// When the mutex is busy after a write call, the bytes already written are not offered again
// (they would go out twice); the update of the read position waits for the mutex instead.
TEST_F(TransmitRingTest, BytesWrittenWhileTheMutexIsHeldElsewhereAreNotOfferedAgain) {
  int error = 0;
  auto other =
      plat::NamedMutex::Open(THuxTxThread::kMutexName, &error, plat::ObjectAccess::OwnerOnly);
  ASSERT_NE(other, nullptr) << error;
  Gate lockNow;
  Gate locked;
  std::thread holder([&] {
    if (!lockNow.Wait()) return;
    ASSERT_TRUE(plat::Owned(other->Lock(2000)));
    locked.Open();
    // Longer than two of the drain thread's waits for the mutex.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * THuxTxThread::kAdvanceWaitMs));
    other->Unlock();
  });
  bool firstCall = true;
  wire_.Take = [&](const uint8_t*, int n) {
    if (firstCall) {
      firstCall = false;
      lockNow.Open();
      EXPECT_TRUE(locked.Wait());
    }
    return n;
  };

  THuxTxThread tx(true);
  tx.WriteHandler.Set(wire_.Handler());
  const Bytes frame = Pattern(100, 1);
  ASSERT_EQ(Enqueue(tx, frame), 100);
  tx.Start();
  ASSERT_TRUE(Drained(tx));
  holder.join();
  const Bytes next = Pattern(10, 50);
  ASSERT_EQ(Enqueue(tx, next), 10);
  ASSERT_TRUE(Drained(tx));

  Bytes expected = frame;
  expected.insert(expected.end(), next.begin(), next.end());
  EXPECT_EQ(wire_.Written(), expected);
  EXPECT_EQ(wire_.Offered(), (std::vector<int>{100, 10}));
}

TEST_F(TransmitRingTest, ConstructionIsAbortedWhenTheMutexCannotBeCreated) {
  // An object name longer than the system allows.
  setenv("DRAL_IPC_NAMESPACE", std::string(300, 'x').c_str(), 1);
  EXPECT_THROW(THuxTxThread tx(true), cls::EAbort);
  setenv("DRAL_IPC_NAMESPACE", env_.Namespace().c_str(), 1);
}

}  // namespace
}  // namespace dral
