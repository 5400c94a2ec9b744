// Feeds arbitrary bytes to the frame parser, block by block and byte by byte, and checks:
//  - both ways deliver the same payloads and count the same errors;
//  - every payload is 1..kMaxPayload bytes and, built into a frame again, parses back to
//    itself without an error.
// Any mismatch aborts, so the fuzzer reports it as a crash.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "server/Datalink.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sink {
  std::vector<Bytes> Frames;
  int Errors = 0;
  void OnFrame(const uint8_t* payload, int n) { Frames.emplace_back(payload, payload + n); }
  void OnError() { ++Errors; }
  void Attach(dral::TDatalink& link) {
    link.FrameHandler = dral::FrameClosure::Of<&Sink::OnFrame>(this);
    link.ErrorHandler = dral::FrameErrorClosure::Of<&Sink::OnError>(this);
  }
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "datalink_fuzz: %s\n", what);
  std::abort();
}

void CheckRoundTrip(const Bytes& payload) {
  const int n = static_cast<int>(payload.size());
  if (n < 1 || n > dral::TDatalink::kMaxPayload) Fail("delivered payload length out of range");
  // Exactly the room BuildFrame may use, so AddressSanitizer sees any write past it.
  Bytes frame(static_cast<size_t>(dral::TDatalink::MaxFrameLength(n)));
  int length = 0;
  if (!dral::TDatalink::BuildFrame(payload.data(), n, &length, frame.data())) {
    Fail("BuildFrame refused a payload");
  }
  if (length < n + 5 || length > dral::TDatalink::MaxFrameLength(n)) Fail("frame length");
  auto link = std::make_unique<dral::TDatalink>();
  Sink sink;
  sink.Attach(*link);
  link->Receive(frame.data(), length);
  if (sink.Errors != 0 || sink.Frames.size() != 1 || sink.Frames[0] != payload) {
    Fail("rebuilt frame does not parse back to its payload");
  }
}

// Input: a mode byte, then the stream. Mode bits 0-5 set the block sizes a link would hand
// over. With bit 7 set, the byte after the mode splits the rest into a head and a unit, and the
// stream is head, unit repeated past kExpandedLength, head again: short inputs then reach the
// frames longer than the parser's buffer.
constexpr size_t kExpandedLength = 5000;

Bytes StreamOf(const uint8_t* data, size_t size) {
  const uint8_t mode = data[0];
  if ((mode & 0x80) == 0 || size < 3) return Bytes(data + 1, data + size);
  const uint8_t* rest = data + 2;
  const size_t restSize = size - 2;
  const size_t split = data[1] % restSize;
  const Bytes head(rest, rest + split);
  const Bytes unit(rest + split, rest + restSize);
  Bytes stream = head;
  while (stream.size() < kExpandedLength) stream.insert(stream.end(), unit.begin(), unit.end());
  stream.insert(stream.end(), head.begin(), head.end());
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t blockBase = 1 + data[0] % 64;
  const Bytes input = StreamOf(data, size);
  const uint8_t* stream = input.data();
  const size_t streamSize = input.size();

  auto blockwise = std::make_unique<dral::TDatalink>();
  auto bytewise = std::make_unique<dral::TDatalink>();
  Sink a;
  Sink b;
  a.Attach(*blockwise);
  b.Attach(*bytewise);
  size_t step = 0;
  for (size_t pos = 0; pos < streamSize; ++step) {
    const size_t block = std::min(streamSize - pos, blockBase + step % 7 * 13);
    blockwise->Receive(stream + pos, static_cast<int>(block));
    pos += block;
  }
  for (size_t i = 0; i < streamSize; ++i) bytewise->ParseByte(stream[i]);

  if (a.Errors != b.Errors || a.Frames != b.Frames) Fail("block and byte parsing disagree");
  if (blockwise->State() != bytewise->State() || blockwise->Position() != bytewise->Position()) {
    Fail("block and byte parsing end in different states");
  }
  for (const auto& payload : a.Frames) CheckRoundTrip(payload);
  return 0;
}
