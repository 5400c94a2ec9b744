// A pseudo-terminal pair standing in for a serial line: the code under test opens the slave by
// its path, the test plays the far end on the master.
#pragma once

#include <asm/termbits.h>

#include <cstddef>
#include <string>

namespace dral_test {

class PtyPair {
 public:
  // Opens a master (non-blocking, close-on-exec); the test fails when that is impossible.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The slave's device path ("/dev/pts/N").
  const std::string& SlavePath() const { return slavePath_; }
  // Writes all of `bytes` to the far end's output (the slave's input).
  void Write(const std::string& bytes);
  // Reads what the slave sent: waits up to `timeoutMs` for the first byte, then takes what
  // follows within a short gap, at most `max` bytes.
  std::string Read(size_t max, int timeoutMs);
  // Reads until `count` bytes came or `timeoutMs` passed.
  std::string ReadExactly(size_t count, int timeoutMs);
  // The slave's line settings (termios ioctls on the master act on the slave).
  termios2 SlaveSettings() const;
  // Closes the master: the slave hangs up.
  void HangUp();

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace dral_test
