#include "plat/debug.h"

#include <cstdio>
#include <cstdlib>

namespace plat {

void OutputDebugString(const std::string& text) {
  if (std::getenv("DRAL_DEBUG") == nullptr) return;
  // One write per line, so lines of different threads do not interleave.
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace plat
