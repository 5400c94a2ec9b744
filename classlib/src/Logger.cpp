#include "classlib/Logger.h"

#include <cstdio>
#include <exception>

#include "plat/tick.h"

namespace cls {
namespace {

constexpr const char* kOpenMode = "a+";
constexpr const char* kReceivedMark = "R ";
constexpr const char* kSentMark = "T ";
constexpr const char* kLengthSeparator = " | ";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// "yyyy/mm/dd hh:nn:ss.zzz" of the local date and time.
std::string TimeStamp() {
  const plat::LocalTime t = plat::GetLocalTime();
  char text[96];  // room for any int the fields may hold
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day,
                t.Hour, t.Minute, t.Second, t.Millisecond);
  return text;
}

// At least `digits` upper-case hex digits, more when the value needs them.
void AppendHex(std::string& out, uint32_t value, int digits) {
  char text[8];
  int n = 0;
  do {
    text[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < digits) text[n++] = '0';
  while (n > 0) out.push_back(text[--n]);
}

}  // namespace

bool AppendLog(const std::string& text, const std::string& file) {
  try {
    const std::string line = TimeStamp() + " " + text + "\n";
    std::FILE* f = std::fopen(file.c_str(), kOpenMode);
    if (!f) return false;
    const bool written = std::fwrite(line.data(), line.size(), 1, f) == 1;
    // The line reaches the file only when the close flushes it.
    return std::fclose(f) == 0 && written;
  } catch (const std::exception&) {
    return false;
  }
}

bool LogHexDump(const void* data, uint32_t length, bool received, const std::string& file) {
  std::string text;
  try {
    if (data == nullptr && length != 0) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    text.reserve(16 + 3 * static_cast<size_t>(length));
    text += received ? kReceivedMark : kSentMark;
    AppendHex(text, length, 2);
    text += kLengthSeparator;
    for (uint32_t i = 0; i < length; ++i) {
      AppendHex(text, bytes[i], 2);
      text.push_back(' ');
    }
  } catch (const std::exception&) {
    return false;
  }
  return AppendLog(text, file);
}

void DebugTrace(const std::string& /*text*/) {}

void DebugPrint(const char* /*text*/) {}

}  // namespace cls
