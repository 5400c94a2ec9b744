#include "links/UsbConduit.h"

#include <utility>

namespace dral {

TUsbConduit::TUsbConduit() : TUsbConduit(std::make_unique<TUsbPort>()) {}

TUsbConduit::TUsbConduit(std::unique_ptr<TUsbPort> port) : port_(std::move(port)) {
  port_->SetReceiveHandler(ReceiveHandler{});
  port_->Start();
}

TUsbConduit::~TUsbConduit() {
  if (port_) {
    port_->Terminate();
    port_->WaitFor();  // each cycle is short; the last one closes the device
    port_.reset();
  }
}

bool TUsbConduit::Open(std::string /*openArg1*/, std::string /*openArg2*/) {
  return port_ && port_->Connected.load();
}

void TUsbConduit::Close() {
  handler_ = ReceiveHandler{};
  if (port_) port_->SetReceiveHandler(ReceiveHandler{});
}

bool TUsbConduit::IsOpen() { return port_ && port_->Connected.load(); }

void TUsbConduit::SetReceiveHandler(ReceiveHandler handler) {
  handler_ = handler;
  if (port_) port_->SetReceiveHandler(handler);
}

void TUsbConduit::SetLogging(bool on) {
  if (port_) port_->ServerLogging.store(on, std::memory_order_relaxed);
}

int TUsbConduit::Write(const uint8_t* buf, int len) { return port_ ? port_->Write(buf, len) : 0; }

}  // namespace dral
