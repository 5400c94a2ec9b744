// The library's side of one initialised interface, whatever reaches the device: a simulated
// device on a seqpacket socket, or a USB device node through libusb. The entry points
// (winusb.cpp) answer the descriptor queries from the Description and pass transfers on.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "plat/overlapped.h"
#include "plat/winusb.h"

namespace winusb {

struct Endpoint {
  uint8_t Address;
  uint8_t Attributes;
  uint16_t MaxPacketSize;
  uint8_t Interval;
};

// One alternate setting: its interface descriptor (bNumEndpoints == Endpoints.size()) and its
// endpoints in the device's order.
struct Setting {
  plat::UsbInterfaceDescriptor Interface{};
  std::vector<Endpoint> Endpoints;
};

// The interface's alternate settings, indexed by alternate setting (at least one). The first
// is the one in use: the library never selects another.
struct Description {
  std::vector<Setting> Settings;
};

class UsbInterface {
 public:
  explicit UsbInterface(Description description) : description_(std::move(description)) {}
  virtual ~UsbInterface() = default;
  UsbInterface(const UsbInterface&) = delete;
  UsbInterface& operator=(const UsbInterface&) = delete;

  const Description& Describe() const { return description_; }

  // `pipeId` is an endpoint of the setting in use, in the direction `in`.
  bool HasPipe(uint8_t pipeId, bool in) const {
    for (const auto& e : description_.Settings.front().Endpoints) {
      if (e.Address == pipeId) return ((pipeId & plat::kUsbEndpointDirectionIn) != 0) == in;
    }
    return false;
  }

  // One transfer of the pipe, completed through `ov` (plat::AsyncDevice's conventions: the
  // result of the start, Pending when it completes later). Any thread.
  virtual plat::IoResult Read(uint8_t pipeId, uint8_t* buffer, uint32_t length,
                              plat::Overlapped& ov) = 0;
  virtual plat::IoResult Write(uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                               plat::Overlapped& ov) = 0;
  // Ends the interface: pending transfers complete with kErrorOperationAborted, every thread
  // of the interface is joined. Later transfers fail with kErrorInvalidHandle. Idempotent.
  virtual void Close() = 0;

 private:
  const Description description_;
};

}  // namespace winusb
