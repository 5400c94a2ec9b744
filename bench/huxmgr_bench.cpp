// Frames per second from several sending threads through the link manager's SendMessage, the
// transmit ring and a link that takes every byte offered, measured where the adapter model has
// parsed them. The ring hands at most 512 bytes to the link per 1 ms pass, so its ceiling is
// about 512000 bytes/s; the counters report the rate against that ceiling.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/HuxMgr.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/SimConduit.h"

namespace {

using dral::HuxMessage;
using dral::THuxMgr;
using std::chrono::steady_clock;

constexpr int kSenders = 3;
// About this many wire bytes per iteration, whatever the message size.
constexpr int kBytesPerIteration = 500000;
constexpr double kCeilingBytesPerSecond = dral::THuxTxThread::kChunk * 1000.0;
constexpr auto kConnectLimit = std::chrono::seconds(5);
constexpr auto kDrainLimit = std::chrono::seconds(60);

// Data bytes that never need escaping, so that the wire length of each frame is known.
HuxMessage Message(int dataLength) {
  HuxMessage m{};
  m.Type = dral::MsgAdapterCommand00;
  m.Length = static_cast<uint16_t>(dataLength);
  for (int i = 0; i < dataLength; ++i) m.Data[i] = static_cast<uint8_t>(i & 0x3F);
  return m;
}

int WireLength(const HuxMessage& m) {
  std::vector<uint8_t> frame(dral::TDatalink::MaxFrameLength(m.Length + 1));
  int length = 0;
  dral::TDatalink::BuildFrame(&m.Type, m.Length + 1, &length, frame.data());
  return length;
}

void BM_SendMessageThreeThreads(benchmark::State& state) {
  const HuxMessage message = Message(static_cast<int>(state.range(0)));
  const int wire = WireLength(message);
  const int perSender = kBytesPerIteration / (kSenders * wire);

  dral_test::AdapterSimulator adapter;
  adapter.SetRecording(false);
  dral_test::SimLinkControl control;
  dral::LinkFactoryTable links;
  links[dral::LinkRowUsb] = [&] {
    return std::make_unique<dral_test::SimConduit>(adapter, control);
  };
  auto mgr = std::make_unique<THuxMgr>(true, links);
  mgr->Start();
  const auto connectBy = steady_clock::now() + kConnectLimit;
  while (mgr->State() != dral::LinkConnected) {
    if (steady_clock::now() > connectBy) {
      state.SkipWithError("no link");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  uint64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const uint64_t before = adapter.FramesFromHost();
    const auto start = steady_clock::now();
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([&] {
        for (int i = 0; i < perSender; ++i) {
          // A full ring refuses the frame; try again, as the request server does.
          while (!mgr->SendMessage(message)) std::this_thread::yield();
        }
      });
    }
    for (auto& t : senders) t.join();
    const uint64_t target = before + static_cast<uint64_t>(kSenders) * perSender;
    const auto drainBy = steady_clock::now() + kDrainLimit;
    while (adapter.FramesFromHost() < target && steady_clock::now() < drainBy) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = std::chrono::duration<double>(steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    frames += adapter.FramesFromHost() - before;
  }
  mgr.reset();

  const double framesPerSecond = frames / seconds;
  state.counters["frames_per_s"] = framesPerSecond;
  state.counters["wire_bytes_per_frame"] = wire;
  state.counters["ceiling_frames_per_s"] = kCeilingBytesPerSecond / wire;
  state.counters["of_ceiling_pct"] = 100.0 * framesPerSecond * wire / kCeilingBytesPerSecond;
  state.counters["adapter_frame_errors"] = static_cast<double>(adapter.FrameErrors());
}
// 13 data bytes: a CAN frame with 8 data bytes; then a J1939-sized and a long message.
BENCHMARK(BM_SendMessageThreeThreads)
    ->Arg(13)
    ->Arg(64)
    ->Arg(500)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Objects and settings of our own, so that a running server or another run is never touched.
  const std::string ns = "bench" + std::to_string(getpid()) + "_";
  setenv("DRAL_IPC_NAMESPACE", ns.c_str(), 1);
  const auto registry = std::filesystem::temp_directory_path() / ("dral-" + ns + "registry");
  std::filesystem::create_directories(registry);
  setenv("DRAL_REGISTRY_DIR", registry.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(registry, ec);
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    if (entry.path().filename().string().rfind(ns, 0) == 0) std::filesystem::remove(entry, ec);
  }
  return 0;
}
