// Small helpers every test folder uses: bounded polling, elapsed time, files and bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace dral_test {

// The time-out of WaitUntil when the caller names none.
constexpr int kDefaultWaitMs = 5000;

// Polls `condition` every millisecond until it holds (true) or `timeoutMs` passed (false).
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultWaitMs);

// Milliseconds on the steady clock since `start`.
double MsSince(std::chrono::steady_clock::time_point start);

// How often the calling thread has given up the processor to wait (for a timer, a lock, a
// page) so far. A call that must not block leaves it unchanged, however long a busy machine
// keeps the thread from running: a test of "returns at once" that does not depend on speed.
long WaitsOfThisThread();

// Files: a marker with some content, whether a path exists, a whole file written or read as
// bytes (ReadFile of a missing file is empty). WriteFile with `perms` also sets the
// permissions.
void Touch(const std::string& path);
bool Exists(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
void WriteFile(const std::string& path, const std::string& text, std::filesystem::perms perms);
std::string ReadFile(const std::string& path);

// The four bytes of `v`, least significant first (the byte order of the channel and the adapter).
inline std::vector<uint8_t> Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

}  // namespace dral_test
