// Latency and throughput of the client library against a real server with the adapter model
// behind its link manager. All in this process: libDRAL.so is loaded with dlopen and meets the
// server only through the channel block, its mutex and events, as across processes.
//   PutToAdapter:       DRAL_PutMessage of a CAN frame until the adapter has parsed it.
//   AdapterToGet:       a CAN frame the adapter sends until DRAL_GetMessage returns it.
//   CommandRoundTrip:   an adapter command (raw 0x08) until the adapter's answer (0x09) is got.
//   ReceiveThroughput:  bursts of CAN frames from the adapter drained with DRAL_GetMessage.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "DRAL.h"
#include "server/HuxMgr.h"
#include "server/ServerObj.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/DralApp.h"
#include "testsupport/SimConduit.h"

namespace {

using std::chrono::steady_clock;
namespace sim = dral_test::sim;

constexpr auto kWaitLimit = std::chrono::seconds(5);
constexpr uint32_t kCanId = 0x18FEF100;
constexpr int kBurst = 100;  // well inside the link manager's receive ring (199 records)

struct Rig {
  dral_test::AdapterSimulator adapter;
  dral_test::SimLinkControl link;
  std::unique_ptr<dral::TDralServer> server;
  dral_test::DralApi api;
  DRAL_Handle handle = 0;
  std::string error;
};

Rig* rig = nullptr;

bool SetUpRig() {
  rig->adapter.SetRecording(false);
  rig->adapter.SetAutoReply(dral::MsgAdapterCommand08, {dral::MsgAdapterData09, 0x01});
  dral::TDralServer::Options options;
  dral::LinkFactoryTable links{};
  links[dral::LinkRowUsb] = [] {
    return std::make_unique<dral_test::SimConduit>(rig->adapter, rig->link);
  };
  options.Links = links;
  rig->server = std::make_unique<dral::TDralServer>(options);
  dral_test::SimStatus status;
  rig->adapter.SetStatus(status);
  auto& header = rig->server->Channel().Block()->Header;
  const auto until = steady_clock::now() + kWaitLimit;
  while (header.LinkState.load() != dral::LinkConnected || header.Can1Status.load() != 0x01) {
    if (steady_clock::now() > until) return rig->error = "link did not come up", false;
    rig->adapter.InjectMessage(sim::kStatusReply, dral_test::SerializeStatus(status));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!rig->api.Load(DRAL_LIBRARY_FILE, &rig->error)) return false;
  rig->handle = rig->api.Connect();
  if (rig->handle == 0) return rig->error = "no connection", false;
  DralFilter filter = dral_test::PassAll(DRAL_PROTOCOL_CAN1);
  if (rig->api.ConfigFilter(rig->handle, &filter) != DRAL_OK) return rig->error = "filter", false;
  return true;
}

void TearDownRig() {
  if (rig->handle) rig->api.Disconnect(rig->handle);
  rig->api.Unload();
  rig->server.reset();
}

// Drains what is queued (filter replies, stray frames) so that each measurement starts empty.
void Drain() {
  uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
  while (rig->api.GetMessage(rig->handle, buffer, sizeof buffer) != 0) {
  }
}

// Spins on DRAL_GetMessage until a message of `protocol` arrives; false after kWaitLimit.
bool Receive(uint8_t protocol) {
  uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
  const auto until = steady_clock::now() + kWaitLimit;
  for (;;) {
    if (rig->api.GetMessage(rig->handle, buffer, sizeof buffer) != 0 && buffer[0] == protocol) {
      return true;
    }
    if (steady_clock::now() > until) return false;
  }
}

void BM_PutToAdapter(benchmark::State& state) {
  const uint8_t frame[] = {DRAL_PROTOCOL_CAN1, 0x00, 0xF1, 0xFE, 0x18, 1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    const uint64_t before = rig->adapter.FramesFromHost();
    if (rig->api.PutMessage(rig->handle, frame, sizeof frame) != DRAL_OK) {
      state.SkipWithError("put failed");
      return;
    }
    const auto until = steady_clock::now() + kWaitLimit;
    while (rig->adapter.FramesFromHost() == before) {
      if (steady_clock::now() > until) return state.SkipWithError("frame lost");
    }
  }
}

void BM_AdapterToGet(benchmark::State& state) {
  Drain();
  for (auto _ : state) {
    rig->adapter.InjectCan(0x11, kCanId, {1, 2, 3, 4, 5, 6, 7, 8});
    if (!Receive(DRAL_PROTOCOL_CAN1)) return state.SkipWithError("frame lost");
  }
}

void BM_CommandRoundTrip(benchmark::State& state) {
  Drain();
  const uint8_t command[] = {DRAL_PROTOCOL_RAW, dral::MsgAdapterCommand08, 0x00};
  for (auto _ : state) {
    if (rig->api.PutMessage(rig->handle, command, sizeof command) != DRAL_OK) {
      return state.SkipWithError("put failed");
    }
    if (!Receive(DRAL_PROTOCOL_RAW)) return state.SkipWithError("no answer");
  }
}

void BM_ReceiveThroughput(benchmark::State& state) {
  Drain();
  uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
  int64_t received = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i)
      rig->adapter.InjectCan(0x11, kCanId + i, {1, 2, 3, 4, 5, 6, 7, 8});
    int got = 0;
    const auto until = steady_clock::now() + kWaitLimit;
    while (got < kBurst && steady_clock::now() < until) {
      if (rig->api.GetMessage(rig->handle, buffer, sizeof buffer) != 0) ++got;
    }
    received += got;
    if (got < kBurst) return state.SkipWithError("frames lost");
  }
  state.SetItemsProcessed(received);
}

BENCHMARK(BM_PutToAdapter)->UseRealTime();
BENCHMARK(BM_AdapterToGet)->UseRealTime();
BENCHMARK(BM_CommandRoundTrip)->UseRealTime();
BENCHMARK(BM_ReceiveThroughput)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // A namespace of its own, so that neither a running server nor another run is met.
  const std::string ns = "bench" + std::to_string(getpid()) + "_";
  setenv("DRAL_IPC_NAMESPACE", ns.c_str(), 1);
  const auto registry = std::filesystem::temp_directory_path() / ("dral-bench-" + ns);
  std::filesystem::create_directories(registry);
  setenv("DRAL_REGISTRY_DIR", registry.c_str(), 1);

  benchmark::Initialize(&argc, argv);
  Rig instance;
  rig = &instance;
  int result = 0;
  if (SetUpRig()) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    std::fprintf(stderr, "bench_client: %s\n", rig->error.c_str());
    result = 1;
  }
  TearDownRig();
  rig = nullptr;
  benchmark::Shutdown();
  std::filesystem::remove_all(registry);
  return result;
}
