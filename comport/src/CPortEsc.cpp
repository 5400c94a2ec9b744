#include "comport/CPortEsc.h"

#include <cstdio>

namespace comport {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kSub = 0x1A;
constexpr uint8_t kDel = 0x7F;

using EC = TEscapeCode;

bool IsIntermediate(uint8_t c) {
  return c >= 0x20 && c <= 0x2F;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A whole decimal number, saturated at kMaxEscapeParam; false for "" and anything else.
bool ParseNumber(const std::string& item, int32_t& value) {
  if (item.empty()) return false;
  int32_t v = 0;
  for (char c : item) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
    if (v > kMaxEscapeParam) v = kMaxEscapeParam;
  }
  value = v;
  return true;
}

// The selector of J, K, g and n: the first item as a whole number, an absent or empty item
// read as 0 (the DEC default); -1 when it is no number.
int32_t Selector(const TEscapeParams& items) {
  if (items.empty() || items[0].empty()) return 0;
  int32_t v = 0;
  return ParseNumber(items[0], v) ? v : -1;
}

std::string Esc(const char* rest) {
  return std::string(1, static_cast<char>(kEsc)) + rest;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[48];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

}  // namespace

int32_t TEscapeCodes::GetParam(int32_t num, const TEscapeParams* params) {
  if (params == nullptr || num < 1 || static_cast<size_t>(num) > params->size()) return 1;
  int32_t value = 1;
  return ParseNumber((*params)[static_cast<size_t>(num) - 1], value) ? value : 1;
}

TEscapeResult TEscapeCodes::Feed(char ch) {
  const auto c = static_cast<uint8_t>(ch);
  if (c == kEsc) {  // starts a sequence, also inside one
    data_.clear();
    inSequence_ = true;
    overflow_ = false;
    ResetSequence();
    return TEscapeResult::erNothing;
  }
  if (!inSequence_ || c < 0x20) {  // a control acts at once, also inside a sequence
    if (inSequence_ && (c == kCan || c == kSub)) {
      inSequence_ = false;
      ResetSequence();
      return TEscapeResult::erNothing;
    }
    character_ = ch;
    return TEscapeResult::erChar;
  }
  if (c == kDel) return TEscapeResult::erNothing;
  if (data_.size() < kMaxEscapeData) {
    data_ += ch;
  } else {
    overflow_ = true;
  }
  const TEscapeCode code = Detect(c, overflow_);
  if (code == EC::ecNotCompleted) return TEscapeResult::erNothing;
  code_ = overflow_ ? EC::ecUnknown : code;
  inSequence_ = false;
  ResetSequence();
  return TEscapeResult::erCode;
}

// --- VT52 ---

TEscapeCode TEscapeCodesVT52::Detect(uint8_t /*last*/, bool overflow) {
  if (overflow) return EC::ecUnknown;
  switch (data_[0]) {
    case 'A': return EC::ecCursorUp;
    case 'B': return EC::ecCursorDown;
    case 'C': return EC::ecCursorRight;
    case 'D': return EC::ecCursorLeft;
    case 'H': return EC::ecCursorHome;
    case 'I': return EC::ecReverseLineFeed;
    case 'J': return EC::ecEraseScreenFrom;
    case 'K': return EC::ecEraseLineFrom;
    case 'Z': return EC::ecIdentify;
    case '/':
      if (data_.size() < 2) return EC::ecNotCompleted;
      return data_[1] == 'Z' ? EC::ecIdentResponse : EC::ecUnknown;
    case 'Y':
      if (data_.size() < 3) return EC::ecNotCompleted;
      params_ = {std::to_string(static_cast<uint8_t>(data_[1]) - 31),
                 std::to_string(static_cast<uint8_t>(data_[2]) - 31)};
      return EC::ecCursorMove;
    default:
      return EC::ecUnknown;
  }
}

std::string TEscapeCodesVT52::EscCodeToStr(TEscapeCode code, const TEscapeParams* params) const {
  switch (code) {
    case EC::ecCursorUp: return Esc("A");
    case EC::ecCursorDown: return Esc("B");
    case EC::ecCursorLeft: return Esc("D");
    case EC::ecCursorRight: return Esc("C");
    case EC::ecCursorHome: return Esc("H");
    case EC::ecCursorMove: {
      std::string s = Esc("Y");
      s += static_cast<char>(GetParam(1, params) + 31);
      s += static_cast<char>(GetParam(2, params) + 31);
      return s;
    }
    case EC::ecReverseLineFeed: return Esc("I");
    case EC::ecEraseLineFrom: return Esc("K");
    case EC::ecEraseScreenFrom: return Esc("J");
    case EC::ecIdentify: return Esc("Z");
    case EC::ecIdentResponse: return Esc("/Z");
    default: return "";
  }
}

// --- VT100 ---

TEscapeCode TEscapeCodesVT100::Detect(uint8_t last, bool overflow) {
  if (inExtSequence_) return DetectExtCode(last, overflow);
  if (data_[0] == '[') {
    inExtSequence_ = true;
    return EC::ecNotCompleted;
  }
  return overflow ? (IsIntermediate(last) ? EC::ecNotCompleted : EC::ecUnknown) : DetectCode(last);
}

// ESC, intermediates 0x20..0x2F, one final character; ESC O (SS3) takes one more character.
TEscapeCode TEscapeCodesVT100::DetectCode(uint8_t last) const {
  if (data_[0] == 'O') {
    if (data_.size() == 1) return EC::ecNotCompleted;
    if (data_.size() > 2) return EC::ecUnknown;
    switch (data_[1]) {
      case 'A': return EC::ecAppCursorUp;
      case 'B': return EC::ecAppCursorDown;
      case 'C': return EC::ecAppCursorRight;
      case 'D': return EC::ecAppCursorLeft;
      default: return EC::ecUnknown;
    }
  }
  if (IsIntermediate(last)) return EC::ecNotCompleted;
  if (data_.size() == 1) {
    switch (data_[0]) {
      case '7': return EC::ecSaveCaretAndAttr;
      case '8': return EC::ecRestoreCaretAndAttr;
      case 'H': return EC::ecSetTab;
      case 'c': return EC::ecReset;
      default: return EC::ecUnknown;
    }
  }
  return data_ == "#8" ? EC::ecTest : EC::ecUnknown;
}

// ESC [ parameters (0x30..0x3F) intermediates (0x20..0x2F) final (0x40..0x7E).
TEscapeCode TEscapeCodesVT100::DetectExtCode(uint8_t last, bool overflow) {
  if (last >= 0x20 && last <= 0x3F) return EC::ecNotCompleted;
  if (overflow) return EC::ecUnknown;
  // data_ is "[", the parameter text and the final character.
  const std::string text = data_.substr(1, data_.size() - 2);
  TEscapeParams items;
  if (!text.empty()) {
    items.emplace_back();
    for (char c : text) {
      if (IsIntermediate(static_cast<uint8_t>(c))) return EC::ecUnknown;  // a function we lack
      if (c == ';') {
        if (items.size() == kMaxEscapeParams) return EC::ecUnknown;
        items.emplace_back();
      } else {
        items.back() += c;
      }
    }
  }
  TEscapeCode code = EC::ecUnknown;
  bool keepItems = true;
  switch (last) {
    case 'A': code = EC::ecCursorUp; break;
    case 'B': code = EC::ecCursorDown; break;
    case 'C': code = EC::ecCursorRight; break;
    case 'D': code = EC::ecCursorLeft; break;
    case 'H': code = EC::ecCursorHome; break;
    case 'f': code = EC::ecCursorMove; break;
    case 'R': code = EC::ecReportCursorPos; break;
    case 'm': code = EC::ecAttributes; break;
    case 'h': code = EC::ecSetMode; break;
    case 'l': code = EC::ecResetMode; break;
    case 's': code = EC::ecSaveCaret; break;
    case 'u': code = EC::ecRestoreCaret; break;
    case 'J':
    case 'K': {
      const int32_t s = Selector(items);
      const bool screen = last == 'J';
      code = s == 0   ? (screen ? EC::ecEraseScreenFrom : EC::ecEraseLineFrom)
             : s == 2 ? (screen ? EC::ecEraseScreen : EC::ecEraseLine)
                      : EC::ecUnknown;
      keepItems = false;
      break;
    }
    case 'g': {
      const int32_t s = Selector(items);
      code = s == 0 ? EC::ecClearTab : s == 3 ? EC::ecClearAllTabs : EC::ecUnknown;
      keepItems = false;
      break;
    }
    case 'n': {
      const int32_t s = items.empty() ? -1 : Selector(items);
      code = s == 0   ? EC::ecReportDeviceOK
             : s == 3 ? EC::ecReportDeviceFailure
             : s == 5 ? EC::ecQueryDevice
             : s == 6 ? EC::ecQueryCursorPos
                      : EC::ecUnknown;
      keepItems = false;
      break;
    }
    case 'c':
      if (items.empty() || (items.size() == 1 && Selector(items) == 0)) {
        code = EC::ecIdentify;
      } else if (items.size() == 2 && items[0] == "?1") {
        code = EC::ecIdentResponse;
      }
      break;
    default:
      break;
  }
  if (!keepItems) items.clear();
  params_ = std::move(items);
  return code;
}

std::string TEscapeCodesVT100::EscCodeToStr(TEscapeCode code, const TEscapeParams* params) const {
  const int32_t p1 = GetParam(1, params);
  const int32_t p2 = GetParam(2, params);
  switch (code) {
    case EC::ecCursorUp: return Esc("[A");
    case EC::ecCursorDown: return Esc("[B");
    case EC::ecCursorRight: return Esc("[C");
    case EC::ecCursorLeft: return Esc("[D");
    case EC::ecCursorHome: return Esc("[H");
    case EC::ecCursorMove: return Format("\033[%d;%df", p1, p2);
    case EC::ecAppCursorUp: return Esc("OA");
    case EC::ecAppCursorDown: return Esc("OB");
    case EC::ecAppCursorRight: return Esc("OC");
    case EC::ecAppCursorLeft: return Esc("OD");
    case EC::ecEraseLineFrom: return Esc("[K");
    case EC::ecEraseScreenFrom: return Esc("[J");
    case EC::ecEraseLine: return Esc("[2K");
    case EC::ecEraseScreen: return Esc("[2J");
    case EC::ecSetTab: return Esc("H");
    case EC::ecClearTab: return Esc("[g");
    case EC::ecClearAllTabs: return Esc("[3g");
    case EC::ecIdentify: return Esc("[c");
    case EC::ecIdentResponse: return Format("\033[?1;%dc", p1);
    case EC::ecQueryDevice: return Esc("[5n");
    case EC::ecReportDeviceOK: return Esc("[0n");
    case EC::ecReportDeviceFailure: return Esc("[3n");
    case EC::ecQueryCursorPos: return Esc("[6n");
    case EC::ecReportCursorPos: return Format("\033[%d;%dR", p1, p2);
    case EC::ecAttributes: return Esc("[m");
    case EC::ecSetMode: return Esc("[h");
    case EC::ecResetMode: return Esc("[l");
    case EC::ecReset: return Esc("c");
    case EC::ecSaveCaretAndAttr: return Esc("7");
    case EC::ecRestoreCaretAndAttr: return Esc("8");
    case EC::ecSaveCaret: return Esc("[s");
    case EC::ecRestoreCaret: return Esc("[u");
    case EC::ecTest: return Esc("#8");
    default: return "";
  }
}

}  // namespace comport
