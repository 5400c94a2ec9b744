// Throughput of the request server: adapter frames routed into 16 client rings, and client
// requests drained from 16 rings into the transmit ring.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "channel/HuxIPC.h"
#include "links/Conduit.h"
#include "server/Filters.h"
#include "server/HuxMgr.h"
#include "server/ServerObj.h"
#include "testsupport/test_env.h"

namespace {

using namespace dral;

// A link that is always open and takes every byte; counts what it was given.
class NullConduit final : public TConduit {
 public:
  explicit NullConduit(std::atomic<uint64_t>& written) : written_(written) {}
  bool Open(std::string, std::string) override {
    open_ = true;
    return true;
  }
  void Close() override { open_ = false; }
  bool IsOpen() override { return open_; }
  void SetReceiveHandler(ReceiveHandler) override {}
  int Write(const uint8_t*, int len) override {
    written_ += static_cast<uint64_t>(len);
    return len;
  }
  std::string PortName() override { return "null"; }
  std::string PortInfo() override { return ""; }

 private:
  std::atomic<bool> open_{false};
  std::atomic<uint64_t>& written_;
};

// A server (wait thread not started: the bench runs the passes) with 16 connected clients in
// an IPC namespace of its own.
struct Rig {
  dral_test::IsolatedEnv env;
  std::atomic<uint64_t> written{0};
  std::unique_ptr<TDralServer> server;
  std::vector<std::unique_ptr<THuxQueue>> clients;

  Rig() {
    TDralServer::Options options;
    LinkFactoryTable links{};
    links[LinkRowUsb] = [this] { return std::make_unique<NullConduit>(written); };
    options.Links = links;
    options.StartWaitThread = false;
    server = std::make_unique<TDralServer>(options);
    for (int i = 0; i < kSlotCount; ++i) clients.push_back(std::make_unique<THuxQueue>(true));
    auto& h = server->Channel().Block()->Header;
    h.Can1Status = StatusAvailable;
    h.Can2Status = StatusAvailable;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server->LinkManager().State() != LinkConnected &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Rig() {
    clients.clear();
    server.reset();
  }

  ClientSlot& Slot(int i) { return *clients[i]->Slot(i); }

  // Every client consumes everything it was given, at once.
  void DrainClients() {
    for (int i = 0; i < kSlotCount; ++i) {
      MessageRing& r = Slot(i).ToClient;
      TChannelLock hold(*clients[i], kChannelLockTimeoutMs);
      if (!hold.Owned()) continue;
      r.ReadIndex = r.WriteIndex.load();
      r.Count = 0;
    }
  }
};

HuxMessage CanFrame(uint32_t id) {
  HuxMessage m{};
  m.Type = MsgCanFrame;
  m.Length = 13;
  m.Data[0] = kChannelBit1;
  PutU32(&m.Data[1], id);
  for (int i = 5; i < 13; ++i) m.Data[i] = static_cast<uint8_t>(i);
  return m;
}

// Adapter to clients. Arg 0: every client passes everything. Arg 64: every client has 64 pass
// entries and the frame matches the last of them (the longest search), so each frame is still
// delivered 16 times.
void BM_AdapterFanOut(benchmark::State& state) {
  Rig rig;
  const int entries = static_cast<int>(state.range(0));
  for (int c = 0; c < kSlotCount; ++c) {
    IdFilterTable& t = rig.Slot(c).CanFilter[0];
    if (entries == 0) {
      EditIdFilterTable(t, IdFilterKind::Can, FilterOpPassAll, 0, 0, false);
    }
    for (int k = 0; k < entries; ++k) {
      EditIdFilterTable(t, IdFilterKind::Can, FilterOpPass, 0x7FF, 0x400 + k, false);
    }
  }
  HuxMessage frame = CanFrame(0x400 + (entries > 0 ? entries - 1 : 0));
  // A ring holds 8191 bytes; a CAN record takes 16.
  constexpr int kDrainEvery = 256;
  int sinceDrain = 0;
  for (auto _ : state) {
    rig.server->OnAdapterMessage(frame);
    if (++sinceDrain == kDrainEvery) {
      state.PauseTiming();
      rig.DrainClients();
      state.ResumeTiming();
      sinceDrain = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["deliveries/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSlotCount, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AdapterFanOut)->Arg(0)->Arg(64)->Unit(benchmark::kMicrosecond);

// Clients to adapter: one pass drains 8 CAN frames from each of the 16 rings into the transmit
// ring (128 frames, about 2.4 KB, which fits the 4 KB ring). Between passes, untimed, the rings
// are refilled and the transmit thread empties its ring into the link.
void BM_ClientRequestsPerPass(benchmark::State& state) {
  Rig rig;
  constexpr int kPerClient = 8;
  const HuxMessage frame = CanFrame(0x123);
  uint64_t expectedBytes = rig.written.load();
  uint64_t left = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int c = 0; c < kSlotCount; ++c) {
      for (int k = 0; k < kPerClient; ++k) rig.clients[c]->Put(&rig.Slot(c).ToServer, &frame);
    }
    // Wait for the transmit thread to hand everything sent so far to the link.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (rig.written.load() < expectedBytes && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const uint64_t before = rig.written.load();
    state.ResumeTiming();

    rig.server->ProcessClientQueues();

    state.PauseTiming();
    for (int c = 0; c < kSlotCount; ++c) left += rig.clients[c]->Count(&rig.Slot(c).ToServer);
    // 19 frame bytes per CAN request (no byte needs doubling).
    expectedBytes = before + static_cast<uint64_t>(kSlotCount * kPerClient) * 19;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kSlotCount * kPerClient -
                          static_cast<int64_t>(left));
  state.counters["left_in_rings"] = static_cast<double>(left);
}
BENCHMARK(BM_ClientRequestsPerPass)->Unit(benchmark::kMicrosecond);

// Clients to adapter, sustained: the rings are kept topped up and passes run back to back; the
// rate is what the transmit thread lets through to the link.
void BM_ClientRequestsSustained(benchmark::State& state) {
  Rig rig;
  const HuxMessage frame = CanFrame(0x123);
  int64_t drained = 0;
  for (auto _ : state) {
    uint16_t before = 0, after = 0;
    for (int c = 0; c < kSlotCount; ++c) {
      while (rig.clients[c]->Count(&rig.Slot(c).ToServer) < 32) {
        rig.clients[c]->Put(&rig.Slot(c).ToServer, &frame);
      }
      before = static_cast<uint16_t>(before + rig.clients[c]->Count(&rig.Slot(c).ToServer));
    }
    rig.server->ProcessClientQueues();
    for (int c = 0; c < kSlotCount; ++c) {
      after = static_cast<uint16_t>(after + rig.clients[c]->Count(&rig.Slot(c).ToServer));
    }
    drained += before - after;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  state.SetItemsProcessed(drained);
}
BENCHMARK(BM_ClientRequestsSustained)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
