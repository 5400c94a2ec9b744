#include "classlib/SysUtils.h"

namespace cls {
namespace {

constexpr int kHexBits = 32;

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

// The magnitude of the digits, or false when a character is no digit or the value passes `limit`.
bool ParseDigits(std::string_view digits, int base, uint64_t limit, uint64_t* out) {
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    const int d = DigitValue(c, base);
    if (d < 0) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > limit) return false;
  }
  *out = v;
  return true;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t* value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t hexPrefix = 0;
  if (!text.empty() && text.front() == '$') hexPrefix = 1;
  if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) hexPrefix = 2;
  uint64_t magnitude = 0;
  int64_t result = 0;
  if (hexPrefix != 0) {
    constexpr uint64_t kHexLimit = (uint64_t{1} << kHexBits) - 1;
    if (!ParseDigits(text.substr(hexPrefix), 16, kHexLimit, &magnitude)) return false;
    result = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
  } else {
    if (!ParseDigits(text, 10, uint64_t{INT32_MAX} + 1, &magnitude)) return false;
    if (!negative && magnitude > uint64_t{INT32_MAX}) return false;
    result = static_cast<int64_t>(magnitude);
  }
  *value = static_cast<int32_t>(static_cast<uint32_t>(negative ? -result : result));
  return true;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
  int32_t value = defaultValue;
  return TryStrToInt(text, &value) ? value : defaultValue;
}

}  // namespace cls
