#include "testsupport/AdapterSimulator.h"

#include <algorithm>

namespace dral_test {
namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kStart = 0xA5;
constexpr uint8_t kEnd = 0xA6;
// Type byte plus the longest message data plus the checksum; longer runs are line noise.
constexpr size_t kMaxStoredBytes = 1 + 2048 + 1;

constexpr uint8_t kJ1708LengthBit8 = 0x80;

void PushEscaped(Bytes& out, uint8_t b) {
  out.push_back(b);
  if (b == kFlag) out.push_back(kFlag);
}

bool IsTransmit(uint8_t type) {
  return type == sim::kCanFrame || type == sim::kJ1939Frame || type == sim::kJ1708Frame;
}

}  // namespace

uint8_t Checksum(const uint8_t* bytes, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0 - sum);
}

Bytes EncodeFrame(const Bytes& payload) {
  Bytes out{kFlag, kStart};
  for (uint8_t b : payload) PushEscaped(out, b);
  PushEscaped(out, Checksum(payload.data(), payload.size()));
  out.push_back(kFlag);
  out.push_back(kEnd);
  return out;
}

void FrameParser::Reset() {
  state_ = State::Idle;
  current_.clear();
}

void FrameParser::Feed(const uint8_t* bytes, size_t n, Result& out) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    switch (state_) {
      case State::Idle:
        if (b == kFlag) state_ = State::Start;
        break;
      case State::Start:
        if (b == kStart) {
          state_ = State::Payload;
          current_.clear();
        } else if (b != kFlag) {
          state_ = State::Idle;
        }
        break;
      case State::Payload:
        if (b == kFlag) {
          state_ = State::Escape;
        } else if (current_.size() < kMaxStoredBytes) {
          current_.push_back(b);
        } else {
          ++out.Errors;
          Reset();
        }
        break;
      case State::Escape:
        if (b == kFlag) {
          state_ = State::Payload;
          if (current_.size() < kMaxStoredBytes) {
            current_.push_back(b);
          } else {
            ++out.Errors;
            Reset();
          }
        } else if (b == kEnd) {
          uint8_t sum = 0;
          for (uint8_t c : current_) sum = static_cast<uint8_t>(sum + c);
          if (current_.size() < 2 || sum != 0) {
            ++out.Errors;  // a frame without a type byte counts as damaged too
          } else {
            current_.pop_back();
            out.Frames.push_back(current_);
          }
          Reset();
        } else {
          ++out.Errors;
          Reset();
        }
        break;
    }
  }
}

MessagePredicate OfType(uint8_t type) {
  return [type](const AdapterMessage& m) { return m.Type == type; };
}

Bytes SerializeStatus(const SimStatus& s) {
  Bytes out;
  auto put = [&out](uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(s.Unused, 1);
  put(s.PacketsReceived, 4);
  put(s.PacketsSent, 4);
  put(s.ChecksumErrors, 2);
  put(s.PacketErrors, 2);
  put(s.Can1Status, 1);
  put(s.Can2Status, 1);
  put(s.J1708Status, 1);
  put(s.OtherStatus, 1);
  return out;
}

AdapterSimulator::AdapterSimulator() {
  SetVersion({0, 0, 2, 5, 0, 0}, 0);
  SetStatus(SimStatus{});
}

AdapterSimulator::~AdapterSimulator() = default;

void AdapterSimulator::Attach(AdapterTransport* transport) {
  std::lock_guard<std::mutex> lock(transportMutex_);
  transport_ = transport;
}

void AdapterSimulator::Detach(AdapterTransport* transport) {
  std::lock_guard<std::mutex> lock(transportMutex_);
  if (transport_ == transport) transport_ = nullptr;
}

void AdapterSimulator::ToHost(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(transportMutex_);
  if (transport_ == nullptr || bytes.empty()) return;
  transport_->SendToHost(bytes.data(), bytes.size());
  bytesToHost_.fetch_add(bytes.size());
}

void AdapterSimulator::FromHost(const uint8_t* bytes, size_t n) {
  FrameParser::Result parsed;
  {
    std::lock_guard<std::mutex> lock(parserMutex_);
    parser_.Feed(bytes, n, parsed);
  }
  framesFromHost_.fetch_add(parsed.Frames.size());
  frameErrors_.fetch_add(parsed.Errors);

  std::vector<Bytes> answers;
  std::vector<AdapterMessage> received;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool recording = recording_.load();
    const bool listened = listenerCount_.load() != 0;
    if (recording) rawFromHost_.insert(rawFromHost_.end(), bytes, bytes + n);
    const auto now = std::chrono::steady_clock::now();
    for (auto& payload : parsed.Frames) {
      AdapterMessage message{payload[0], Bytes(payload.begin() + 1, payload.end()), now};
      if (auto answer = AnswerLocked(message)) answers.push_back(std::move(*answer));
      if (recording) messages_.push_back(message);
      if (listened) received.push_back(std::move(message));
    }
  }
  if (!parsed.Frames.empty()) recorded_.notify_all();
  for (const auto& answer : answers) ToHostFrame(answer);
  if (received.empty()) return;
  std::lock_guard<std::mutex> lock(listenerMutex_);
  for (const auto& message : received) {
    for (HostListener* listener : listeners_) listener->OnHostMessage(message);
  }
}

void AdapterSimulator::AddListener(HostListener* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  listeners_.push_back(listener);
  listenerCount_.store(listeners_.size());
}

void AdapterSimulator::RemoveListener(HostListener* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  std::erase(listeners_, listener);
  listenerCount_.store(listeners_.size());
}

std::optional<Bytes> AdapterSimulator::AnswerLocked(const AdapterMessage& message) {
  if (silent_.load()) return std::nullopt;
  switch (message.Type) {
    case sim::kVersionRequest: {
      Bytes out{sim::kVersionReply};
      out.insert(out.end(), versionReply_.begin(), versionReply_.end());
      return out;
    }
    case sim::kStatusRequest: {
      Bytes out{sim::kStatusReply};
      out.insert(out.end(), statusReply_.begin(), statusReply_.end());
      return out;
    }
    default:
      break;
  }
  if (IsTransmit(message.Type)) {
    if (refuseNext_ > 0) {
      --refuseNext_;
      return Bytes{sim::kReply, message.Type, sim::kReplyRefused};
    }
    if (transmitAnswer_ == TransmitAnswer::Accept) {
      return Bytes{sim::kReply, message.Type, sim::kReplyOk};
    }
    if (transmitAnswer_ == TransmitAnswer::Refuse) {
      return Bytes{sim::kReply, message.Type, sim::kReplyRefused};
    }
  }
  auto rule = autoReplies_.find(message.Type);
  if (rule != autoReplies_.end()) return rule->second;
  return std::nullopt;
}

void AdapterSimulator::SetVersion(const std::array<uint8_t, 6>& version, uint16_t flags) {
  Bytes data(version.begin(), version.end());
  data.push_back(static_cast<uint8_t>(flags));
  data.push_back(static_cast<uint8_t>(flags >> 8));
  SetVersionReplyData(std::move(data));
}

void AdapterSimulator::SetVersionReplyData(Bytes data) {
  std::lock_guard<std::mutex> lock(mutex_);
  versionReply_ = std::move(data);
}

void AdapterSimulator::SetStatus(const SimStatus& status) {
  SetStatusReplyData(SerializeStatus(status));
}

void AdapterSimulator::SetStatusReplyData(Bytes data) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusReply_ = std::move(data);
}

void AdapterSimulator::SetTransmitAnswer(TransmitAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  transmitAnswer_ = answer;
}

void AdapterSimulator::RefuseNextTransmits(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseNext_ = count;
}

void AdapterSimulator::SetAutoReply(uint8_t requestType, Bytes payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (payload.empty()) {
    autoReplies_.erase(requestType);
  } else {
    autoReplies_[requestType] = std::move(payload);
  }
}

void AdapterSimulator::SetSilent(bool silent) {
  silent_.store(silent);
}

void AdapterSimulator::InjectBytes(const Bytes& raw) {
  ToHost(raw);
}

void AdapterSimulator::InjectFrame(const Bytes& payload) {
  ToHostFrame(payload);
}

void AdapterSimulator::InjectMessage(uint8_t type, const Bytes& data) {
  Bytes payload{type};
  payload.insert(payload.end(), data.begin(), data.end());
  ToHostFrame(payload);
}

void AdapterSimulator::InjectCan(uint8_t channelBits, uint32_t identifier, const Bytes& data) {
  Bytes d{channelBits};
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(identifier >> (8 * i)));
  d.insert(d.end(), data.begin(), data.end());
  InjectMessage(sim::kCanFrame, d);
}

void AdapterSimulator::InjectJ1939(uint8_t channelBits, uint32_t identifier, const Bytes& data) {
  // Source address, PDU specific, PDU format, priority << 2 | data page: the identifier's bytes
  // from the lowest up.
  Bytes d{channelBits};
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(identifier >> (8 * i)));
  d.insert(d.end(), data.begin(), data.end());
  InjectMessage(sim::kJ1939Frame, d);
}

void AdapterSimulator::InjectJ1708(const Bytes& message, bool appendChecksum, uint8_t header) {
  // The adapter's 9-bit length counts the message bytes only; the checksum byte, when there is
  // one, follows them in the record.
  const size_t length = message.size();
  Bytes d{static_cast<uint8_t>(length > 0xFF ? kJ1708LengthBit8 : 0), header,
          static_cast<uint8_t>(length & 0xFF)};
  d.insert(d.end(), message.begin(), message.end());
  if (appendChecksum) d.push_back(Checksum(message.data(), message.size()));
  InjectMessage(sim::kJ1708Frame, d);
}

std::vector<AdapterMessage> AdapterSimulator::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<AdapterMessage> AdapterSimulator::Messages(const MessagePredicate& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<AdapterMessage> out;
  std::copy_if(messages_.begin(), messages_.end(), std::back_inserter(out), match);
  return out;
}

size_t AdapterSimulator::Count(const MessagePredicate& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(), match));
}

Bytes AdapterSimulator::BytesFromHost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rawFromHost_;
}

void AdapterSimulator::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
  rawFromHost_.clear();
}

std::optional<AdapterMessage> AdapterSimulator::WaitForMessage(const MessagePredicate& match,
                                                               uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<AdapterMessage> found;
  recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    auto it = std::find_if(messages_.begin(), messages_.end(), match);
    if (it == messages_.end()) return false;
    found = *it;
    return true;
  });
  return found;
}

bool AdapterSimulator::WaitForCount(const MessagePredicate& match, size_t count,
                                    uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(), match)) >= count;
  });
}

}  // namespace dral_test
