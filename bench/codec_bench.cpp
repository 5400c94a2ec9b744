// Throughput of the adapter frame codec: parsing a received byte stream and building frames,
// for typical traffic (J1939 frames, 14-byte payloads) and for the worst case (every payload
// byte 0x7E, so every byte is doubled on the wire). Bytes counted are the input bytes: the
// wire bytes for parsing, the payload bytes for building.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "server/Datalink.h"

namespace {

using Bytes = std::vector<uint8_t>;
using dral::TDatalink;

constexpr size_t kJ1939Payload = 14;  // Type, ChannelBits, 4 identifier bytes, 8 data bytes
constexpr size_t kStreamFrames = 4096;

Bytes J1939Payload(std::mt19937& rng) {
  Bytes p(kJ1939Payload);
  p[0] = dral::MsgJ1939Frame;
  for (size_t i = 1; i < p.size(); ++i) p[i] = static_cast<uint8_t>(rng());
  return p;
}

Bytes FlagPayload() {
  return Bytes(kJ1939Payload, TDatalink::kFlag);
}

Bytes StreamOf(const std::vector<Bytes>& payloads) {
  Bytes stream;
  Bytes frame(TDatalink::kMaxFrameLength);
  for (const auto& p : payloads) {
    int length = 0;
    TDatalink::BuildFrame(p.data(), static_cast<int>(p.size()), &length, frame.data());
    stream.insert(stream.end(), frame.begin(), frame.begin() + length);
  }
  return stream;
}

std::vector<Bytes> Payloads(bool worstCase) {
  std::mt19937 rng(1939);
  std::vector<Bytes> payloads;
  for (size_t i = 0; i < kStreamFrames; ++i) {
    payloads.push_back(worstCase ? FlagPayload() : J1939Payload(rng));
  }
  return payloads;
}

struct Counter {
  uint64_t Frames = 0;
  uint64_t Errors = 0;
  void OnFrame(const uint8_t* payload, int n) {
    benchmark::DoNotOptimize(payload);
    Frames += static_cast<uint64_t>(n);
  }
  void OnError() { ++Errors; }
};

// range(0): 0 typical traffic, 1 worst case; range(1): bytes per receive call.
void BM_Parse(benchmark::State& state) {
  const Bytes stream = StreamOf(Payloads(state.range(0) != 0));
  const auto block = static_cast<size_t>(state.range(1));
  auto link = std::make_unique<TDatalink>();
  Counter counter;
  link->FrameHandler = dral::FrameClosure::Of<&Counter::OnFrame>(&counter);
  link->ErrorHandler = dral::FrameErrorClosure::Of<&Counter::OnError>(&counter);
  for (auto _ : state) {
    for (size_t pos = 0; pos < stream.size(); pos += block) {
      const size_t n = std::min(block, stream.size() - pos);
      link->Receive(stream.data() + pos, static_cast<int>(n));
    }
  }
  if (counter.Errors != 0) state.SkipWithError("parse errors");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_Parse)
    ->ArgNames({"worst", "block"})
    ->Args({0, 64})
    ->Args({0, 4096})
    ->Args({1, 64})
    ->Args({1, 4096});

// range(0): 0 typical traffic, 1 worst case.
void BM_Build(benchmark::State& state) {
  const std::vector<Bytes> payloads = Payloads(state.range(0) != 0);
  Bytes frame(TDatalink::kMaxFrameLength);
  size_t payloadBytes = 0;
  for (const auto& p : payloads) payloadBytes += p.size();
  for (auto _ : state) {
    for (const auto& p : payloads) {
      int length = 0;
      TDatalink::BuildFrame(p.data(), static_cast<int>(p.size()), &length, frame.data());
      benchmark::DoNotOptimize(length);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payloadBytes));
}
BENCHMARK(BM_Build)->ArgName("worst")->Arg(0)->Arg(1);

// The longest message a client can send: Type and 2048 data bytes.
void BM_BuildLongest(benchmark::State& state) {
  std::mt19937 rng(7);
  Bytes payload(1 + dral::kHuxMaxData);
  for (auto& b : payload) b = static_cast<uint8_t>(rng());
  Bytes frame(TDatalink::kMaxFrameLength);
  for (auto _ : state) {
    int length = 0;
    TDatalink::BuildFrame(payload.data(), static_cast<int>(payload.size()), &length, frame.data());
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_BuildLongest);

}  // namespace

BENCHMARK_MAIN();
