#include "plat/debug.h"

#include <cstdio>
#include <cstdlib>

namespace plat {

namespace {
constexpr const char* kDebugVariable = "DRAL_DEBUG";
}  // namespace

void OutputDebugString(const std::string& text) {
  if (std::getenv(kDebugVariable) == nullptr) return;
  // One write per line, so lines of different threads do not interleave.
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string DebugOutputFile(const std::string& defaultName) {
  const char* value = std::getenv(kDebugVariable);
  if (value == nullptr) return "";
  const std::string named = value;
  return named.find('/') != std::string::npos ? named : defaultName;
}

}  // namespace plat
