// The adapter frame codec and the ring of received frames.
//
// Every byte stream between the server and the adapter carries payloads (a HuxMessage's Type,
// then its Data) wrapped in one frame format:
//
//   7E A5 <payload, each 7E sent as 7E 7E> <checksum, 7E sent as 7E 7E> 7E A6
//
// where the checksum is the two's complement of the payload's byte sum, so payload plus
// checksum add up to 0 modulo 256. A frame of n payload bytes takes n + 5 to 2n + 6 bytes.
#pragma once

#include <atomic>
#include <cstdint>

#include "channel/Vocabulary.h"
#include "classlib/Closure.h"
#include "links/Conduit.h"

namespace dral {

// FrameHandler(data, payload, n): one good frame; payload is Type first, checksum removed,
// n >= 1. The bytes stay valid until TDatalink::kBufferCount - 1 further frames have completed;
// the handler copies what it keeps.
using FrameClosure = cls::Closure<void(const uint8_t* payload, int n)>;
// ErrorHandler(data): one framing or checksum error.
using FrameErrorClosure = cls::Closure<void()>;

class TDatalink {
 public:
  static constexpr uint8_t kFlag = 0x7E;   // starts the two-byte marks; doubled as a literal
  static constexpr uint8_t kStart = 0xA5;  // 7E A5 opens a frame
  static constexpr uint8_t kEnd = 0xA6;    // 7E A6 closes a frame

  static constexpr int kBufferCount = 10;             // receive buffers used in rotation
  static constexpr int kBufferSize = 2048;            // position 0 is a marker; bytes go to 1..2047
  static constexpr int kMaxStored = kBufferSize - 1;  // payload plus checksum
  static constexpr int kMaxPayload = kMaxStored - 1;  // longest payload a frame may deliver

  // Room BuildFrame needs for n payload bytes (every byte and the checksum doubled).
  static constexpr int MaxFrameLength(int n) { return 2 * n + 6; }
  // Room for the frame of the longest HuxMessage (Type plus kHuxMaxData bytes).
  static constexpr int kMaxFrameLength = 2 * (1 + kHuxMaxData) + 6;

  enum ParserState : uint8_t {
    StateIdle = 0,    // looking for 7E
    StateStart = 1,   // after 7E, waiting for A5
    StateData = 2,    // inside a frame
    StateEscape = 3,  // after 7E inside a frame
    StateEnd = 4,     // end of frame seen (passed through only inside ParseByte)
  };

  TDatalink();
  TDatalink(const TDatalink&) = delete;
  TDatalink& operator=(const TDatalink&) = delete;

  // Set by the owner before the datalink is installed as a receive handler; read on the
  // receive thread only, so they are plain fields.
  FrameClosure FrameHandler;
  FrameErrorClosure ErrorHandler;

  // The link's receive handler entry: feeds the n bytes in order to ParseByte. Called on one
  // receive thread at a time.
  void Receive(const uint8_t* bytes, int n);
  // The closure a link is given: Receive on this datalink.
  ReceiveHandler AsReceiveHandler() { return ReceiveHandler::Of<&TDatalink::Receive>(this); }

  // One step of the parser.
  //  - Extra 7E before A5 are skipped; bytes outside a frame are ignored.
  //  - 7E followed by anything but 7E or A6 inside a frame: one error, parser reset.
  //  - More than kMaxStored payload and checksum bytes: the frame is dropped without an error.
  //  - A wrong checksum: one error, nothing delivered.
  //  - A frame with no payload byte (only a checksum, or nothing at all): one error, nothing
  //    delivered; a payload always starts with its Type.
  void ParseByte(uint8_t b);

  // Writes the frame for n payload bytes to `out` (room for MaxFrameLength(n) bytes) and its
  // length to *outLength. False with *outLength 0 when payload or out is missing or n < 0.
  // Pure: any thread may call it, each with its own output storage.
  static bool BuildFrame(const uint8_t* payload, int n, int* outLength, uint8_t* out);

  // Parser state, for tests and diagnostics (receive thread only).
  ParserState State() const { return state_; }
  int Position() const { return position_; }

 private:
  void Reset() {
    state_ = StateIdle;
    position_ = 0;
    sum_ = 0;
  }
  const uint8_t* TakeData(const uint8_t* p, const uint8_t* end);
  void StoreByte(uint8_t b);
  void EndFrame();
  void Fail();

  ParserState state_ = StateIdle;
  int16_t position_ = 0;  // next store position in the current buffer, 1-based
  uint8_t sum_ = 0;       // running sum of the stored bytes
  int current_ = 0;       // index of the buffer being filled
  uint8_t buffers_[kBufferCount][kBufferSize] = {};
};

// One parsed frame waiting for the link manager's thread.
struct ReceivedFrame {
  uint32_t Tick;  // tick count (ms) when the frame was parsed
  HuxMessage Message;
};

// The ring of received frames between the receive thread (the only producer) and the link
// manager's thread (the only consumer); lock-free. Holds at most kRecords - 1 frames; a push
// into a full ring drops the frame.
class TReceivedFrameRing {
 public:
  static constexpr uint32_t kRecords = 200;

  TReceivedFrameRing() = default;
  TReceivedFrameRing(const TReceivedFrameRing&) = delete;
  TReceivedFrameRing& operator=(const TReceivedFrameRing&) = delete;

  // Producer side. Pushes {tick, Length n - 1 (at most kHuxMaxData), Type payload[0], Data the
  // rest}; n >= 1. False (nothing stored) when the ring is full or n < 1.
  bool PushPayload(uint32_t tick, const uint8_t* payload, int n);
  // Producer side. Copies the record (its Length data bytes). False when the ring is full.
  bool Push(const ReceivedFrame& frame);

  // Consumer side.
  bool Empty() const;
  ReceivedFrame* Front();  // the oldest record, null when empty; valid until Pop or Clear
  void Pop();              // drops the oldest record; nothing when empty
  void Clear();            // drops every record; safe while the producer pushes

  // Records held now (either side; a snapshot).
  uint32_t Count() const;

 private:
  std::atomic<uint32_t> write_{0};  // written by the producer only
  std::atomic<uint32_t> read_{0};   // written by the consumer only
  ReceivedFrame records_[kRecords];
};

}  // namespace dral
