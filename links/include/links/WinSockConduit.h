// TWinSockConduit: the link over TCP to an adapter that shows up as a USB network adapter
// (see WinSockThread.h), as the link manager sees it.
//
// Open(address text, port text) never blocks: it asks the socket thread for a connection and
// reports whether one stands. An empty or unparsable address means kFallbackAddress without
// set-up; an address in the adapter's subnet gets the host address set-up when the setting
// "AutoConfigureInterface" (HKEY_CURRENT_USER "\SOFTWARE\Trevik\DRAL", true when absent)
// allows it. The port is kDefaultPort unless the port text holds a decimal number (truncated
// to 16 bits).
//
// Threads: as TConduit. The destructor stops and joins the socket thread, which disconnects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "links/Conduit.h"
#include "links/WinSockThread.h"

namespace dral {

class TWinSockConduit : public TConduit {
 public:
  static constexpr const char* kPortName = "Ethernet Device";
  static constexpr uint16_t kDefaultPort = 44779;
  static constexpr const char* kFallbackAddress = "127.0.0.1";
  static constexpr uint8_t kDebugLevel = 2;

  TWinSockConduit();  // starts the socket thread
  ~TWinSockConduit() override;

  bool Open(std::string address, std::string port) override;
  void Close() override;
  bool IsOpen() override;
  void SetReceiveHandler(ReceiveHandler handler) override;
  int Write(const uint8_t* buf, int len) override;
  std::string PortName() override { return kPortName; }
  std::string PortInfo() override;

  TWinSockThread* SockThread() const { return sockThread_.get(); }
  bool AutoConfigure() const { return autoConfigure_; }
  uint32_t LastAddress() const { return lastAddress_; }
  uint16_t LastPort() const { return lastPort_; }

 private:
  std::unique_ptr<TWinSockThread> sockThread_;
  bool autoConfigure_ = true;
  ReceiveHandler handler_;  // the link manager's thread
  uint32_t lastAddress_ = 0;  // network order
  uint16_t lastPort_ = 0;
};

// The port an Open port text stands for: kDefaultPort for an empty text or one that is not a
// decimal number, else its value truncated to 16 bits.
uint16_t WinSockPortOf(const std::string& text);

}  // namespace dral
