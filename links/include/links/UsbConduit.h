// TUsbConduit: the link over the adapter's own USB driver (see Usb.h), as the link manager
// sees it.
//
// The port thread starts with the link and hunts for the device whether or not the link
// manager ever picks this link, so Open only reports what the port has found. Close detaches
// the receive handler and leaves the device open: after a link loss that was no removal (the
// link manager gave up on a silent adapter), the next Open reports the same device as
// connected at once.
//
// Threads: as TConduit. The destructor stops and joins the port thread, which closes the device.
#pragma once

#include <memory>
#include <string>

#include "links/Conduit.h"
#include "links/Usb.h"

namespace dral {

class TUsbConduit : public TConduit {
 public:
  static constexpr const char* kPortName = "USB DLA";
  static constexpr const char* kPortInfo = "USB Full Speed";

  TUsbConduit();  // starts the port thread; throws when it cannot be started
  ~TUsbConduit() override;

  // The arguments are not used; true while the port has a device open.
  bool Open(std::string openArg1, std::string openArg2) override;
  void Close() override;
  bool IsOpen() override;
  void SetReceiveHandler(ReceiveHandler handler) override;
  int Write(const uint8_t* buf, int len) override;
  std::string PortName() override { return kPortName; }
  std::string PortInfo() override { return kPortInfo; }
  // Switches the port's log file (its ServerLogging).
  void SetLogging(bool on) override;

  TUsbPort* Port() const { return port_.get(); }
  // The handler installed last ((0, 0) after construction and after Close).
  ReceiveHandler Handler() const { return handler_; }

 protected:
  // Takes a port created suspended, detaches its handler and starts it.
  explicit TUsbConduit(std::unique_ptr<TUsbPort> port);

 private:
  std::unique_ptr<TUsbPort> port_;
  ReceiveHandler handler_;  // the link manager's thread
};

}  // namespace dral
