// The packet framer: start and stop markers, fixed sizes, custom positions, discards.
#include "comport/CPortDataPacket.h"

#include <algorithm>
#include <exception>

namespace comport {
namespace {

// Byte-wise ASCII upper case: the same length as the input, whatever the locale, so positions
// found in folded text are positions in the data.
char FoldAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

TComDataPacket::TComDataPacket() : link_(std::make_unique<TComLink>()) {
  link_->OnRxBuf = TRxBufEvent::Of<&TComDataPacket::RxBuf>(this);
}

TComDataPacket::~TComDataPacket() {
  try {
    SetComPort(nullptr);
  } catch (const std::exception&) {
    // The link was not registered with the port any more; nothing is left to undo.
  }
}

void TComDataPacket::SetComPort(TCustomComPort* port) {
  BindLink(*link_, *this, comPort_, port);
}

void TComDataPacket::Notification(TCustomComPort* removed) {
  if (removed != nullptr && removed == comPort_) SetComPort(nullptr);
}

void TComDataPacket::Changed() {
  if (!loading_) EmptyBuffer();
}

void TComDataPacket::SetCaseInsensitive(bool value) {
  if (value == caseInsensitive_) return;
  caseInsensitive_ = value;
  Changed();
}

void TComDataPacket::SetSize(int32_t value) {
  if (value == size_) return;
  size_ = value;
  Changed();
}

void TComDataPacket::SetStartString(const std::string& value) {
  if (value == startString_) return;
  startString_ = value;
  Changed();
}

void TComDataPacket::SetStopString(const std::string& value) {
  if (value == stopString_) return;
  stopString_ = value;
  Changed();
}

void TComDataPacket::RxBuf(TCustomComPort*, const void* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return;
  AddData(std::string(static_cast<const char*>(buffer), static_cast<size_t>(count)));
}

bool TComDataPacket::ValidStop() const {
  return size_ > 0 || !stopString_.empty() || OnCustomStop.IsSet();
}

void TComDataPacket::AddData(const std::string& str) {
  if (!ValidStop()) {
    DoPacket(str);
    return;
  }
  buffer_ += str;
  HandleBuffer();
}

std::string_view TComDataPacket::Rest() const {
  return std::string_view(buffer_).substr(head_);
}

void TComDataPacket::Consume(size_t count) {
  head_ += count;
  // Dropping the consumed front once it outweighs the rest keeps every byte's moves constant.
  if (head_ >= buffer_.size() - head_) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
}

void TComDataPacket::EmptyBuffer() {
  if (Rest().empty()) return;
  // Emptied before the handler runs: it is empty afterwards whatever the handler does.
  std::string discarded(Rest());
  buffer_.clear();
  head_ = 0;
  inPacket_ = false;
  DoDiscard(discarded);
}

size_t TComDataPacket::Find(std::string_view marker, std::string_view text) const {
  if (marker.empty() || marker.size() > text.size()) return 0;
  const auto same = [this](char a, char b) {
    return caseInsensitive_ ? FoldAscii(a) == FoldAscii(b) : a == b;
  };
  const auto it = std::search(text.begin(), text.end(), marker.begin(), marker.end(), same);
  return it == text.end() ? 0 : static_cast<size_t>(it - text.begin()) + 1;
}

void TComDataPacket::HandleBuffer() {
  // One pass per packet, in a loop rather than by recursion (a chunk of many small packets
  // must not deepen the stack). A pass that delivers nothing cannot progress without new data,
  // and every delivering pass removes at least one byte, so the loop ends. A pass consumes its
  // packet by moving the buffer's head, so the cost stays in proportion to the chunk.
  try {
    while (!Rest().empty() && HandlePacket()) {
    }
  } catch (...) {
    CheckBufferLimit();
    throw;
  }
  CheckBufferLimit();
}

bool TComDataPacket::HandlePacket() {
  if (!inPacket_) FindStart();
  if (!inPacket_) return false;
  const size_t end = FindStop();
  if (end == 0) return false;
  inPacket_ = false;
  std::string packet(Rest().substr(0, end));
  Consume(end);
  CheckIncludeStrings(packet);
  DoPacket(packet);
  return true;
}

void TComDataPacket::FindStart() {
  int32_t pos = -1;
  DoCustomStart(Rest(), pos);
  if (pos > 0) {
    // A position past the buffer's end is "not yet", as is 0.
    if (static_cast<size_t>(pos) <= Rest().size()) StartPacketAt(static_cast<size_t>(pos));
  } else if (pos == -1) {
    if (startString_.empty()) {
      inPacket_ = true;
    } else if (const size_t found = Find(startString_, Rest()); found > 0) {
      StartPacketAt(found);
    }
  }
}

void TComDataPacket::StartPacketAt(size_t pos) {
  inPacket_ = true;
  if (pos > 1) {
    std::string discarded(Rest().substr(0, pos - 1));
    Consume(pos - 1);
    DoDiscard(discarded);
  }
}

size_t TComDataPacket::FindStop() {
  int32_t pos = -1;
  DoCustomStop(Rest(), pos);
  const std::string_view rest = Rest();  // the handler may have changed the buffer
  if (pos > 0) return static_cast<size_t>(pos) <= rest.size() ? static_cast<size_t>(pos) : 0;
  if (pos != -1) return 0;
  if (size_ > 0 && rest.size() >= static_cast<size_t>(size_)) return static_cast<size_t>(size_);
  // The stop string is looked for behind the start string, which may contain it.
  const size_t skip = startString_.size();
  if (rest.size() <= skip) return 0;
  const size_t found = Find(stopString_, rest.substr(skip));
  return found > 0 ? found + stopString_.size() + skip - 1 : 0;
}

void TComDataPacket::CheckIncludeStrings(std::string& str) const {
  if (includeStrings_) return;
  if (Find(startString_, str) == 1) str.erase(0, startString_.size());
  // Only the first occurrence of the stop string counts: it is cut off when it ends the packet.
  if (!stopString_.empty() && str.size() >= stopString_.size() &&
      Find(stopString_, str) == str.size() - stopString_.size() + 1) {
    str.erase(str.size() - stopString_.size());
  }
}

void TComDataPacket::CheckBufferLimit() {
  if (maxBufferSize_ <= 0) return;
  // A limit below the fixed packet size would discard every packet before it is complete.
  const size_t limit = static_cast<size_t>(std::max(maxBufferSize_, size_));
  if (Rest().size() >= limit) EmptyBuffer();
}

void TComDataPacket::DoDiscard(const std::string& str) {
  if (OnDiscard.IsSet()) OnDiscard(this, str);
}

void TComDataPacket::DoPacket(const std::string& str) {
  if (OnPacket.IsSet()) OnPacket(this, str);
}

// The handlers take the buffer as a string: a copy of it, made only for a handler that is set.
void TComDataPacket::DoCustomStart(std::string_view str, int32_t& pos) {
  if (OnCustomStart.IsSet()) OnCustomStart(this, std::string(str), pos);
}

void TComDataPacket::DoCustomStop(std::string_view str, int32_t& pos) {
  if (OnCustomStop.IsSet()) OnCustomStop(this, std::string(str), pos);
}

}  // namespace comport
