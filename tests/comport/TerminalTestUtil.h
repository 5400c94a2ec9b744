// Shared pieces of the terminal tests: a terminal with its protected steps opened, the screen
// as text and waiting while the event loop runs (screenshots: ComportUiTestUtil.h).
#pragma once

#include <QApplication>
#include <string>

#include "ComportUiTestUtil.h"
#include "comport/CPortCtlTerm.h"
#include "testsupport/test_util.h"

namespace comport_test {

class TestTerminal : public comport::TComTerminal {
 public:
  using TCustomComTerminal::KeyDown;
  using TCustomComTerminal::PutChar;
  using TCustomComTerminal::RxBuf;
  using TCustomComTerminal::SendChar;

  // Row `y` of the buffer, empty cells as blanks, trailing blanks cut.
  std::string Row(int32_t y) const {
    std::string s;
    for (int32_t x = 1; x <= Buffer().GetLineLength(y); ++x) {
      const char ch = Buffer().GetChar(x, y).Ch;
      s += ch ? ch : ' ';
    }
    return s;
  }
  void Receive(const std::string& bytes) { RxBuf(nullptr, bytes.data(), static_cast<int32_t>(bytes.size())); }
};

// WaitUntil with the event loop (and so the main-thread queue) served meanwhile.
inline bool WaitServing(const std::function<bool()>& condition, int timeoutMs = 5000) {
  return dral_test::WaitUntil(
      [&] {
        QApplication::processEvents();
        return condition();
      },
      timeoutMs);
}

}  // namespace comport_test
