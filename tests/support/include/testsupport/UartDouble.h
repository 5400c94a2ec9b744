// A serial line whose device behaves like a UART where a pseudo-terminal does not: the far end
// is a PtyPair, and the slave keeps the framing it is given (a pseudo-terminal always frames 8
// bits without parity) and keeps line-error counts that the test raises (a pseudo-terminal keeps
// none). The code under test opens SlavePath() as any device.
//
// It works by standing in for ioctl(2) in the test program: TCSETS2, TCGETS2 and TIOCGICOUNT on
// a descriptor of the slave are answered from the double; everything else goes to the system.
// Any thread may use the device; the members belong to the test's thread.
#pragma once

#include <asm/termbits.h>

#include <string>

#include "testsupport/PtyPair.h"

namespace dral_test {

class UartDouble {
 public:
  UartDouble();
  ~UartDouble();
  UartDouble(const UartDouble&) = delete;
  UartDouble& operator=(const UartDouble&) = delete;

  const std::string& SlavePath() const { return pty_.SlavePath(); }
  PtyPair& FarEnd() { return pty_; }
  // The framing bits of c_cflag (CSIZE, CSTOPB, PARENB, PARODD, CMSPAR) last set on the slave.
  tcflag_t Framing() const;
  // One more received byte with a parity error, or with a framing error.
  void CountParityError();
  void CountFrameError();

 private:
  PtyPair pty_;
};

}  // namespace dral_test
