// Throughput of one message ring and the round trip between two processes through the channel.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "channel/HuxIPC.h"

extern char** environ;

namespace {

using dral::HuxMessage;
using dral::THuxQueue;
using std::chrono::steady_clock;

constexpr const char* kRoleVar = "DRAL_BENCH_ROLE";
constexpr const char* kEchoRole = "echo";
constexpr uint16_t kRecordData = 16;
constexpr uint8_t kStopType = 0xFF;
// The waits of the real threads: the client's receive thread and the server's wait thread.
constexpr uint32_t kClientWaitMs = 10;
constexpr uint32_t kServerWaitMs = 50;
constexpr int kEchoIdleLimitMs = 10000;
constexpr int kStartLimitMs = 10000;

HuxMessage Record(uint8_t type) {
  HuxMessage m{};
  m.Type = type;
  m.Length = kRecordData;
  for (uint16_t i = 0; i < kRecordData; ++i) m.Data[i] = static_cast<uint8_t>(i);
  return m;
}

void BM_PutPeekRemove(benchmark::State& state) {
  THuxQueue q(true);
  dral::MessageRing* ring = &q.Slot(q.SlotIndex())->ToServer;
  const HuxMessage m = Record(dral::MsgCanFrame);
  HuxMessage got{};
  for (auto _ : state) {
    if (!q.Put(ring, &m) || !q.Peek(ring, &got)) {
      state.SkipWithError("ring operation failed");
      break;
    }
    benchmark::DoNotOptimize(got);
    q.Remove(ring);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PutPeekRemove);

// The other process: a client that answers every record in its ToClient ring with one in
// ToServer and pulses the server event, as a client thread would. Both sides read the event's
// generation before they look at the ring and wait for it to change, as the real threads do,
// so a pulse between the look and the wait is not lost (wait_timeouts stays 0).
int RunEcho() {
  THuxQueue q(true);
  if (q.SlotIndex() != 0 || !q.ClientEvent()) return 2;
  dral::ClientSlot* slot = q.Slot(0);
  const HuxMessage reply = Record(dral::MsgCanFrame);
  HuxMessage got{};
  auto lastSeen = steady_clock::now();
  uint32_t timeouts = 0;  // reported in the answer to the stop record
  bool started = false;   // before the first request the server is still setting up
  for (;;) {
    const uint32_t seen = q.ClientEvent()->Generation();
    while (q.Peek(&slot->ToClient, &got)) {
      q.Remove(&slot->ToClient);
      if (got.Type == kStopType) {
        HuxMessage count = Record(kStopType);
        dral::PutU32(count.Data, timeouts);
        q.Put(&slot->ToServer, &count);
        // Leaving frees the slot and its rings: stay until the server has taken the count.
        const auto until = steady_clock::now() + std::chrono::seconds(2);
        while (q.Count(&slot->ToServer) != 0 && steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
      }
      q.Put(&slot->ToServer, &reply);
      q.ServerEvent().Pulse();
      started = true;
      lastSeen = steady_clock::now();
    }
    if (q.ClientEvent()->WaitForChange(seen, kClientWaitMs) == plat::WaitResult::Timeout &&
        started) {
      ++timeouts;  // the next request follows each answer at once: a wake-up went missing
    }
    if (steady_clock::now() - lastSeen > std::chrono::milliseconds(kEchoIdleLimitMs)) return 3;
  }
}

pid_t SpawnEcho() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kRoleVar) + "=" + kEchoRole);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

int ReapChild(pid_t pid, int timeoutMs) {
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

double Percentile(std::vector<double>& v, double p) {
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

void BM_CrossProcessRoundTrip(benchmark::State& state) {
  THuxQueue server(false);
  const pid_t child = SpawnEcho();
  if (child <= 0) {
    state.SkipWithError("cannot start the echo process");
    return;
  }
  dral::ChannelBlock* block = server.Block();
  const auto startLimit = steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
  while (!(block->Header.SlotMask.load() & 1) && steady_clock::now() < startLimit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int error = 0;
  auto clientEvent = plat::NamedEvent::Open(dral::ClientEventName(0), &error);
  if (!(block->Header.SlotMask.load() & 1) || !clientEvent) {
    state.SkipWithError("the echo process did not take slot 0");
    ReapChild(child, 0);
    return;
  }
  dral::ClientSlot* slot = server.Slot(0);
  const HuxMessage request = Record(dral::MsgJ1939Frame);
  HuxMessage got{};
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(state.max_iterations));
  int64_t timeouts = 0;
  bool failed = false;
  for (auto _ : state) {
    const auto t0 = steady_clock::now();
    if (!server.Put(&slot->ToClient, &request)) {
      failed = true;
      break;
    }
    clientEvent->Pulse();
    for (;;) {
      const uint32_t seen = server.ServerEvent().Generation();
      if (server.Peek(&slot->ToServer, &got)) break;
      if (server.ServerEvent().WaitForChange(seen, kServerWaitMs) == plat::WaitResult::Timeout) {
        ++timeouts;
      }
      if (steady_clock::now() - t0 > std::chrono::seconds(5)) {
        failed = true;
        break;
      }
    }
    if (failed) break;
    server.Remove(&slot->ToServer);
    samples.push_back(std::chrono::duration<double, std::micro>(steady_clock::now() - t0).count());
  }
  const HuxMessage stop = Record(kStopType);
  server.Put(&slot->ToClient, &stop);
  clientEvent->Pulse();
  int64_t clientTimeouts = -1;  // -1: the echo's count did not arrive
  const auto countLimit = steady_clock::now() + std::chrono::seconds(2);
  while (!failed && clientTimeouts < 0 && steady_clock::now() < countLimit) {
    if (!server.Peek(&slot->ToServer, &got)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    server.Remove(&slot->ToServer);
    if (got.Type == kStopType) clientTimeouts = dral::GetU32(got.Data);
  }
  const int rc = ReapChild(child, 5000);
  if (failed || rc != 0) {
    state.SkipWithError("round trip failed");
    return;
  }
  state.counters["median_us"] = Percentile(samples, 0.5);
  state.counters["p99_us"] = Percentile(samples, 0.99);
  state.counters["max_us"] = *std::max_element(samples.begin(), samples.end());
  state.counters["wait_timeouts"] = static_cast<double>(timeouts);
  state.counters["client_wait_timeouts"] = static_cast<double>(clientTimeouts);
}
BENCHMARK(BM_CrossProcessRoundTrip)
    ->Iterations(50000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const char* role = std::getenv(kRoleVar);
  if (role != nullptr && std::string(role) == kEchoRole) return RunEcho();
  // Objects of our own, so that a running server or another run is never touched.
  const std::string ns = "bench" + std::to_string(getpid()) + "_";
  setenv("DRAL_IPC_NAMESPACE", ns.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
