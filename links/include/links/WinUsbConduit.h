// TWinUsbConduit: the link over the WinUSB driver (see WinUsb.h). Its slots, texts and
// lifetime are those of TUsbConduit, over a TWinUsbPort.
#pragma once

#include "links/UsbConduit.h"
#include "links/WinUsb.h"

namespace dral {

class TWinUsbConduit : public TUsbConduit {
 public:
  TWinUsbConduit();  // starts the port thread; throws when it cannot be started

  TWinUsbPort* Port() const { return static_cast<TWinUsbPort*>(TUsbConduit::Port()); }
};

}  // namespace dral
