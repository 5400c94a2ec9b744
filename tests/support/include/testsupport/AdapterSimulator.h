// A model of the vehicle-network adapter for tests: it speaks the adapter's framed protocol,
// answers version and status requests, records everything the host sends and lets a test inject
// traffic (CAN, J1939, J1708, arbitrary frames, raw bytes and garbage).
//
// The model knows nothing about how bytes travel. A front (an in-process link, later a
// pseudo-terminal, a TCP socket, a simulated USB device, a fake D2XX library) implements
// AdapterTransport, attaches itself and feeds the host's bytes to FromHost; the model hands its
// own bytes to the attached transport's SendToHost.
//
// The frame encoder and parser here are the model's own, written from the frame format, so that
// a fault in the server's codec shows up as a disagreement instead of being shared.
//
// Thread safety: every member may be called from any thread. The model calls SendToHost with
// its own locks released except the attachment lock (a transport must not call back into the
// model from SendToHost); Detach waits for a SendToHost in progress to return.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace dral_test {

using Bytes = std::vector<uint8_t>;

// The adapter protocol's message codes, spelled out here on purpose (see above).
namespace sim {
constexpr uint8_t kReply = 0x01;
constexpr uint8_t kChannelControl = 0x02;
constexpr uint8_t kVersionRequest = 0x04;
constexpr uint8_t kVersionReply = 0x05;
constexpr uint8_t kStatusRequest = 0x06;
constexpr uint8_t kStatusReply = 0x07;
constexpr uint8_t kCanFrame = 0x20;
constexpr uint8_t kCanFilter = 0x24;
constexpr uint8_t kJ1939Frame = 0x30;
constexpr uint8_t kJ1939Filter = 0x34;
constexpr uint8_t kJ1939Control = 0x35;
constexpr uint8_t kJ1939Transport = 0x37;
constexpr uint8_t kTransportResult = 0x38;
constexpr uint8_t kJ1708Frame = 0x40;
constexpr uint8_t kJ1708Filter = 0x44;
constexpr uint8_t kReplyOk = 1;
constexpr uint8_t kReplyRefused = 0;
}  // namespace sim

// Frame format: 7E A5, payload with every 7E doubled, checksum (0 - payload sum, doubled when
// 7E), 7E A6.
Bytes EncodeFrame(const Bytes& payload);
// Two's complement of the byte sum, so that the bytes plus the checksum add up to 0.
uint8_t Checksum(const uint8_t* bytes, size_t n);

// Incremental frame parser. Bytes outside a frame are skipped; a bad escape (7E followed by
// anything but 7E or A6) or a wrong checksum is an error and the parser looks for the next start.
class FrameParser {
 public:
  struct Result {
    std::vector<Bytes> Frames;  // payloads (checksum removed), in order
    size_t Errors = 0;
  };
  void Feed(const uint8_t* bytes, size_t n, Result& out);
  void Reset();

 private:
  enum class State { Idle, Start, Payload, Escape };
  State state_ = State::Idle;
  Bytes current_;  // payload plus checksum so far
};

// One message the adapter received from the host.
struct AdapterMessage {
  uint8_t Type = 0;
  Bytes Data;  // payload without the Type byte
  std::chrono::steady_clock::time_point At;
};
using MessagePredicate = std::function<bool(const AdapterMessage&)>;
MessagePredicate OfType(uint8_t type);

// Where the model's bytes go. Implemented by each front.
class AdapterTransport {
 public:
  virtual ~AdapterTransport() = default;
  // Bytes from the adapter to the host. Must not block for long nor call into the model.
  virtual void SendToHost(const uint8_t* bytes, size_t n) = 0;
};

// A model of something behind the adapter (a J1939 node, see J1939Peer.h) that sees every
// message the host sends.
class HostListener {
 public:
  virtual ~HostListener() = default;
  // Called after the model recorded and answered the message, on the thread that handed the
  // host's bytes to FromHost, with none of the model's locks held but the listeners' own: it may
  // inject traffic, but must not add or remove listeners.
  virtual void OnHostMessage(const AdapterMessage& message) = 0;
};

// AdapterStatusReply fields, serialised little-endian by the model.
struct SimStatus {
  uint8_t Unused = 0;
  uint32_t PacketsReceived = 0;
  uint32_t PacketsSent = 0;
  uint16_t ChecksumErrors = 0;
  uint16_t PacketErrors = 0;
  uint8_t Can1Status = 0x01;
  uint8_t Can2Status = 0x01;
  uint8_t J1708Status = 0x01;
  uint8_t OtherStatus = 0;
};
Bytes SerializeStatus(const SimStatus& status);  // the 17 data bytes

// How the model answers transmits (0x20, 0x30, 0x40).
enum class TransmitAnswer {
  None,    // no reply, as an adapter that just sends
  Accept,  // MsgReply {type, 1}
  Refuse,  // MsgReply {type, 0}: the adapter's buffer is full
};

class AdapterSimulator {
 public:
  AdapterSimulator();
  ~AdapterSimulator();
  AdapterSimulator(const AdapterSimulator&) = delete;
  AdapterSimulator& operator=(const AdapterSimulator&) = delete;

  // --- transport side -------------------------------------------------------------------------
  // One transport at a time; Attach replaces, Detach(t) removes t when it is the attached one.
  void Attach(AdapterTransport* transport);
  void Detach(AdapterTransport* transport);
  // Bytes the host wrote to the adapter: parsed, recorded, answered.
  void FromHost(const uint8_t* bytes, size_t n);

  // --- behaviour ------------------------------------------------------------------------------
  // Version reply: 6 version bytes ([2] major, [3] minor) and the 16-bit AdapterFlags.
  void SetVersion(const std::array<uint8_t, 6>& version, uint16_t flags);
  // Exact data of the version reply (any length), for short-reply cases.
  void SetVersionReplyData(Bytes data);
  void SetStatus(const SimStatus& status);
  // Exact data of the status reply (any length).
  void SetStatusReplyData(Bytes data);
  void SetTransmitAnswer(TransmitAnswer answer);
  // The next `count` transmits are refused whatever SetTransmitAnswer says.
  void RefuseNextTransmits(int count);
  // When a message of `requestType` arrives, answer with the frame of `payload` (Type first).
  // An empty payload removes the rule. Used for adapter commands (0x08 -> 0x09) and transport
  // (0x37 -> 0x38).
  void SetAutoReply(uint8_t requestType, Bytes payload);
  // A silent adapter answers nothing (no version, status, transmit or automatic replies);
  // injected traffic still goes out.
  void SetSilent(bool silent);
  bool Silent() const { return silent_.load(); }
  // Recording of messages and raw bytes; off for throughput measurements.
  void SetRecording(bool on) { recording_.store(on); }

  // Listeners see every message from the host, in order. RemoveListener waits for a call in
  // progress; a listener removes itself before it goes.
  void AddListener(HostListener* listener);
  void RemoveListener(HostListener* listener);

  // --- injection (adapter to host) ------------------------------------------------------------
  void InjectBytes(const Bytes& raw);
  void InjectFrame(const Bytes& payload);
  void InjectMessage(uint8_t type, const Bytes& data);
  void InjectCan(uint8_t channelBits, uint32_t identifier, const Bytes& data);
  // `identifier` is the 29-bit J1939 identifier (priority, data page, PF, PS, SA).
  void InjectJ1939(uint8_t channelBits, uint32_t identifier, const Bytes& data);
  // `message` is MID first; the J1708 checksum follows it when `appendChecksum`. The 9-bit
  // length counts the message bytes without the checksum, as the adapter reports them.
  void InjectJ1708(const Bytes& message, bool appendChecksum = true, uint8_t header = 0);

  // --- observation ----------------------------------------------------------------------------
  std::vector<AdapterMessage> Messages() const;
  std::vector<AdapterMessage> Messages(const MessagePredicate& match) const;
  size_t Count(const MessagePredicate& match) const;
  // Every byte received from the host, in order (frames, garbage and all).
  Bytes BytesFromHost() const;
  void ClearRecords();
  uint64_t FramesFromHost() const { return framesFromHost_.load(); }
  uint64_t FrameErrors() const { return frameErrors_.load(); }
  uint64_t BytesSentToHost() const { return bytesToHost_.load(); }

  // Waits up to `timeoutMs` for a recorded message that matches (earlier ones count too) and
  // returns the first such message; empty on time-out.
  std::optional<AdapterMessage> WaitForMessage(const MessagePredicate& match,
                                               uint32_t timeoutMs) const;
  // Waits up to `timeoutMs` until at least `count` recorded messages match.
  bool WaitForCount(const MessagePredicate& match, size_t count, uint32_t timeoutMs) const;

 private:
  void ToHost(const Bytes& bytes);
  void ToHostFrame(const Bytes& payload) { ToHost(EncodeFrame(payload)); }
  std::optional<Bytes> AnswerLocked(const AdapterMessage& message);

  std::mutex transportMutex_;  // guards transport_ and serialises SendToHost calls
  AdapterTransport* transport_ = nullptr;

  std::mutex listenerMutex_;  // guards listeners_ and serialises the calls to them
  std::vector<HostListener*> listeners_;
  std::atomic<size_t> listenerCount_{0};  // listeners_.size(), read without the lock

  std::mutex parserMutex_;  // guards parser_ (FromHost may come from any thread)
  FrameParser parser_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable recorded_;
  std::vector<AdapterMessage> messages_;
  Bytes rawFromHost_;
  Bytes versionReply_;
  Bytes statusReply_;
  TransmitAnswer transmitAnswer_ = TransmitAnswer::None;
  int refuseNext_ = 0;
  std::map<uint8_t, Bytes> autoReplies_;

  std::atomic<bool> silent_{false};
  std::atomic<bool> recording_{true};
  std::atomic<uint64_t> framesFromHost_{0};
  std::atomic<uint64_t> frameErrors_{0};
  std::atomic<uint64_t> bytesToHost_{0};
};

}  // namespace dral_test
