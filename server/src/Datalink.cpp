#include "server/Datalink.h"

#include <algorithm>
#include <cstring>

namespace dral {

namespace {
// Marker written at position 0 of a buffer whose frame completed.
constexpr uint8_t kFrameCompleteMark = 1;
// Stored bytes of the smallest deliverable frame: the Type byte and the checksum.
constexpr int kMinStored = 2;
}  // namespace

TDatalink::TDatalink() = default;

void TDatalink::Receive(const uint8_t* bytes, int n) {
  if (bytes == nullptr || n <= 0) return;
  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + n;
  while (p < end) {
    if (state_ == StateData) p = TakeData(p, end);
    if (p < end) ParseByte(*p++);
  }
}

// Inside a frame: takes data bytes and doubled 7E literals in one tight loop, with the same
// outcome as ParseByte byte by byte. Stops before a 7E that ends the frame or is an error (or
// is the last byte of the block), and after the byte that overflows the buffer.
const uint8_t* TDatalink::TakeData(const uint8_t* p, const uint8_t* end) {
  uint8_t* const buffer = buffers_[current_];
  int position = position_;
  uint8_t sum = sum_;
  while (p < end) {
    const uint8_t b = *p;
    int step = 1;
    if (b == kFlag) {
      if (end - p < 2 || p[1] != kFlag) break;
      step = 2;
    }
    if (position >= kBufferSize) {
      Reset();  // oversized frame: dropped, not counted as an error
      return p + step;
    }
    buffer[position++] = b;
    sum = static_cast<uint8_t>(sum + b);
    p += step;
  }
  position_ = static_cast<int16_t>(position);
  sum_ = sum;
  return p;
}

void TDatalink::StoreByte(uint8_t b) {
  sum_ = static_cast<uint8_t>(sum_ + b);
  if (position_ < kBufferSize) {
    buffers_[current_][position_] = b;
    ++position_;
  } else {
    Reset();  // oversized frame: dropped, not counted as an error
  }
}

void TDatalink::ParseByte(uint8_t b) {
  switch (state_) {
    case StateIdle:
      if (b == kFlag) state_ = StateStart;
      break;
    case StateStart:
      if (b == kStart) {
        state_ = StateData;
        position_ = 1;
        sum_ = 0;
      } else if (b != kFlag) {
        state_ = StateIdle;
      }
      break;
    case StateData:
      if (b == kFlag) {
        state_ = StateEscape;
      } else {
        StoreByte(b);
      }
      break;
    case StateEscape:
      if (b == kEnd) {
        state_ = StateEnd;
        EndFrame();
      } else if (b == kFlag) {
        state_ = StateData;
        StoreByte(b);
      } else {
        Fail();
      }
      break;
    case StateEnd:
      Reset();  // not reached: EndFrame always resets
      break;
  }
}

void TDatalink::EndFrame() {
  // Stored: payload then checksum. Fewer than two bytes means there is no Type byte: such a
  // frame cannot carry a message and only line noise produces it.
  if (sum_ != 0 || position_ - 1 < kMinStored) {
    Fail();
    return;
  }
  uint8_t* buffer = buffers_[current_];
  buffer[0] = kFrameCompleteMark;
  const int n = position_ - 2;
  // Rotate before the call, so the delivered bytes stay put for the next nine frames even when
  // the handler feeds more bytes in.
  current_ = (current_ + 1) % kBufferCount;
  Reset();
  if (FrameHandler.IsSet()) FrameHandler(buffer + 1, n);
}

void TDatalink::Fail() {
  Reset();
  if (ErrorHandler.IsSet()) ErrorHandler();
}

bool TDatalink::BuildFrame(const uint8_t* payload, int n, int* outLength, uint8_t* out) {
  if (outLength != nullptr) *outLength = 0;
  if (payload == nullptr || out == nullptr || outLength == nullptr || n < 0) return false;
  uint8_t* o = out;
  *o++ = kFlag;
  *o++ = kStart;
  uint8_t sum = 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t b = payload[i];
    *o++ = b;
    if (b == kFlag) *o++ = b;
    sum = static_cast<uint8_t>(sum + b);
  }
  const auto checksum = static_cast<uint8_t>(0 - sum);
  *o++ = checksum;
  if (checksum == kFlag) *o++ = checksum;
  *o++ = kFlag;
  *o++ = kEnd;
  *outLength = static_cast<int>(o - out);
  return true;
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr uint32_t NextIndex(uint32_t i) {
  return (i + 1) % TReceivedFrameRing::kRecords;
}
}  // namespace

bool TReceivedFrameRing::PushPayload(uint32_t tick, const uint8_t* payload, int n) {
  if (payload == nullptr || n < 1) return false;
  const uint32_t w = write_.load(std::memory_order_relaxed);
  // Acquire: the consumer is done with the record it released before we overwrite it.
  if (NextIndex(w) == read_.load(std::memory_order_acquire)) return false;
  ReceivedFrame& r = records_[w];
  const int length = std::min(n - 1, static_cast<int>(kHuxMaxData));
  r.Tick = tick;
  r.Message.Length = static_cast<uint16_t>(length);
  r.Message.Type = payload[0];
  std::memcpy(r.Message.Data, payload + 1, static_cast<size_t>(length));
  write_.store(NextIndex(w), std::memory_order_release);
  return true;
}

bool TReceivedFrameRing::Push(const ReceivedFrame& frame) {
  const uint32_t w = write_.load(std::memory_order_relaxed);
  if (NextIndex(w) == read_.load(std::memory_order_acquire)) return false;
  ReceivedFrame& r = records_[w];
  const uint16_t length = std::min(frame.Message.Length, kHuxMaxData);
  r.Tick = frame.Tick;
  r.Message.Length = length;
  r.Message.Type = frame.Message.Type;
  std::memcpy(r.Message.Data, frame.Message.Data, length);
  write_.store(NextIndex(w), std::memory_order_release);
  return true;
}

bool TReceivedFrameRing::Empty() const {
  return read_.load(std::memory_order_relaxed) == write_.load(std::memory_order_acquire);
}

ReceivedFrame* TReceivedFrameRing::Front() {
  const uint32_t r = read_.load(std::memory_order_relaxed);
  if (r == write_.load(std::memory_order_acquire)) return nullptr;
  return &records_[r];
}

void TReceivedFrameRing::Pop() {
  const uint32_t r = read_.load(std::memory_order_relaxed);
  if (r == write_.load(std::memory_order_acquire)) return;
  read_.store(NextIndex(r), std::memory_order_release);
}

void TReceivedFrameRing::Clear() {
  // Only the consumer's index moves, so a push running at the same time stays intact.
  read_.store(write_.load(std::memory_order_acquire), std::memory_order_release);
}

uint32_t TReceivedFrameRing::Count() const {
  const uint32_t r = read_.load(std::memory_order_acquire);
  const uint32_t w = write_.load(std::memory_order_acquire);
  return (w + kRecords - r) % kRecords;
}

}  // namespace dral
