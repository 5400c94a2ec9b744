// Device-removal registration: the seam between the device links and whoever watches devices
// for them (the server program's main window).
//
// A link that has opened a device registers the device handle together with a removal handler,
// and ends the registration before it closes the device. When the device goes away, the
// registrar calls the handler on its own thread (the main window's: the main thread), with a
// null sender.
//
// The registrar is process-wide: its owner installs it with SetDeviceRegistrar before any link
// is created and removes it (SetDeviceRegistrar(nullptr)) only after the links are gone. A link
// remembers the registrar it registered with and ends the registration there. Without a
// registrar a link registers nothing.
#pragma once

#include "classlib/Closure.h"
#include "plat/device_interface.h"

namespace dral {

// A handler with its object: Code(Data, sender).
using TNotifyEvent = cls::Closure<void(void* sender)>;

class TDeviceRegistrar {
 public:
  // Starts watching `device` (an open device handle) and stores `handler` for its removal.
  // The registrar follows one device at a time: a second registration replaces the first
  // (handle and handler). Any thread may call it.
  virtual void RegisterDeviceHandle(plat::DeviceHandle device, TNotifyEvent handler) = 0;
  // Ends the registration and forgets the handler. On return the handler is not running on
  // another thread and will not be called again, so its object may go. Any thread may call it
  // (a link calls it from its own thread while the handler may be running on the registrar's);
  // the handler therefore must not wait for the thread that unregisters.
  virtual void UnregisterDeviceHandle() = 0;
  // As UnregisterDeviceHandle, but only when `device` is the device registered now: two links
  // share the one registration, and a link must not end the one another link made after it.
  // Checking and ending are one step with respect to RegisterDeviceHandle.
  virtual void UnregisterDeviceHandle(plat::DeviceHandle device) = 0;

 protected:
  ~TDeviceRegistrar() = default;
};

// The process-wide registrar; null when none. Safe from any thread.
void SetDeviceRegistrar(TDeviceRegistrar* registrar);
TDeviceRegistrar* DeviceRegistrar();

}  // namespace dral
