// Helpers of the port's control tests: a port on a pseudo-terminal whose notifications the test
// raises itself, and renderings of a control.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include "comport/CPort.h"
#include "testsupport/PtyPair.h"

namespace comport_test {

// A port on the far end of a pseudo-terminal, with no event thread: the test raises the
// notifications an event thread would.
class TestPort : public comport::TComPort {
 public:
  explicit TestPort(const dral_test::PtyPair& pty) {
    SetPort(pty.SlavePath());
    SetEvents({});
  }
  using TCustomComPort::CallAfterClose;
  using TCustomComPort::CallAfterOpen;
  using TCustomComPort::CallRing;
  using TCustomComPort::SendSignalToLink;
};

// The control painted onto a transparent image of its size (no background).
QImage Render(QWidget& widget);

// Saves the widget's rendering under the build folder's screenshots/ and returns it.
QImage Shoot(QWidget& widget, const QString& name);

}  // namespace comport_test
