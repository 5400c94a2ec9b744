// Latency of the port's event thread: from a byte written to the far end of a pseudo-terminal to
// the port's OnRxChar, for each way of handing events on (none, thread sync, window sync).
//
// The benchmark's own thread is the main thread; for the two synchronised methods it serves
// the main-thread queue as an event loop would: it sleeps until the queue's wake-up hook fires,
// then drains. The handler takes the byte, so every byte meets an empty input queue.
//
// Counters: median_us, p99_us, max_us (microseconds per byte).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

#include "classlib/synchronize.h"
#include "comport/CPort.h"
#include "testsupport/PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kByteLimit = std::chrono::seconds(5);

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// Takes the byte on whichever thread the sync method selects and notes when it came.
struct Receiver {
  std::mutex Mutex;
  std::condition_variable Cv;
  bool Got = false;             // guarded by Mutex
  bool Queued = false;          // the main-thread queue has work; guarded by Mutex
  Clock::time_point At;         // guarded by Mutex

  void RxChar(comport::TCustomComPort* port, int32_t count) {
    char buf[64];
    port->Read(buf, std::min<int32_t>(count, sizeof buf));
    std::lock_guard<std::mutex> lock(Mutex);
    At = Clock::now();
    Got = true;
    Cv.notify_all();
  }
  void WakeUp() {
    std::lock_guard<std::mutex> lock(Mutex);
    Queued = true;
    Cv.notify_all();
  }
  // Waits for the byte; serves the main-thread queue meanwhile when `pump`.
  bool Await(bool pump, Clock::time_point* at) {
    const auto limit = Clock::now() + kByteLimit;
    std::unique_lock<std::mutex> lock(Mutex);
    while (!Got) {
      if (!Cv.wait_until(lock, limit, [&] { return Got || (pump && Queued); })) return false;
      if (pump && Queued) {
        Queued = false;
        lock.unlock();
        cls::CheckSynchronize();
        lock.lock();
      }
    }
    Got = false;
    *at = At;
    return true;
  }
};

void BM_ByteToOnRxChar(benchmark::State& state) {
  const auto method = static_cast<comport::TSyncMethod>(state.range(0));
  cls::SetMainThread();
  Receiver receiver;
  cls::SetSynchronizeWakeUp([&receiver] { receiver.WakeUp(); });
  dral_test::PtyPair pty;
  std::vector<double> samples;
  bool failed = false;
  {
    comport::TComPort port;
    port.SetPort(pty.SlavePath());
    port.SetSyncMethod(method);
    port.SetEvents({comport::TComEvent::evRxChar});
    port.OnRxChar = comport::TRxCharEvent::Of<&Receiver::RxChar>(&receiver);
    port.Open();
    const bool pump = method != comport::TSyncMethod::smNone;
    for (auto _ : state) {
      const auto t0 = Clock::now();
      pty.Write("x");
      Clock::time_point at;
      if (!receiver.Await(pump, &at)) {
        failed = true;
        break;
      }
      samples.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
    }
    port.Close();
  }
  cls::SetSynchronizeWakeUp({});
  cls::CheckSynchronize();
  cls::ClearMainThread();
  if (failed) {
    state.SkipWithError("a byte did not reach OnRxChar within 5 s");
    return;
  }
  state.counters["median_us"] = Percentile(samples, 0.5);
  state.counters["p99_us"] = Percentile(samples, 0.99);
  state.counters["max_us"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}
BENCHMARK(BM_ByteToOnRxChar)
    ->ArgName("sync")  // 0 thread sync, 1 window sync, 2 none
    ->Arg(static_cast<int>(comport::TSyncMethod::smNone))
    ->Arg(static_cast<int>(comport::TSyncMethod::smThreadSync))
    ->Arg(static_cast<int>(comport::TSyncMethod::smWindowSync))
    ->Iterations(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
