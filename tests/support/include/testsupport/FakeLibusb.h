// The tests' handle on the fake libusb-1.0 (see FakeLibusbControl.h): loads the library file
// that the WinUSB library is pointed at (DRAL_LIBUSB_LIBRARY, kFakeLibusbPath) and reaches its
// controls; and the raw configuration descriptor of a device, built from its interfaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/FakeLibusbControl.h"
#include "testsupport/FakeModule.h"

namespace dral_test {

extern const char* const kFakeLibusbPath;

// Transfer outcomes for FakeLibusb::FailTransfer (libusb_transfer_status).
inline constexpr int kUsbTransferError = 1;
inline constexpr int kUsbTransferStall = 4;

struct UsbEndpointSpec {
  uint8_t Address;     // bit 0x80: IN
  uint8_t Attributes;  // transfer type in bits 0-1 (2 bulk, 3 interrupt)
  uint16_t MaxPacketSize;
  uint8_t Interval;
};

struct UsbInterfaceSpec {
  uint8_t Number;
  uint8_t Alternate;
  std::vector<UsbEndpointSpec> Endpoints;
  uint8_t Class = 0xFF;  // vendor specific
};

// A configuration descriptor with `interfaces` (each alternate setting is one entry, in order)
// followed by their endpoint descriptors, as a device sends it.
std::vector<uint8_t> UsbConfiguration(const std::vector<UsbInterfaceSpec>& interfaces);

class FakeLibusb {
 public:
  struct Written {
    uint8_t Endpoint;
    std::vector<uint8_t> Data;
  };

  // Loads the fake (throws std::runtime_error when it cannot) and resets it.
  FakeLibusb();
  // Resets the fake and unloads it.
  ~FakeLibusb();
  FakeLibusb(const FakeLibusb&) = delete;
  FakeLibusb& operator=(const FakeLibusb&) = delete;

  // A device on the character device at `nodePath`; -1 when that is none.
  int Add(const std::string& nodePath, const std::vector<uint8_t>& config) {
    return add_(nodePath.c_str(), config.data(), config.size());
  }
  void Push(int key, uint8_t endpoint, const std::vector<uint8_t>& bytes) {
    push_(key, endpoint, bytes.data(), bytes.size());
  }
  void FailTransfer(int key, uint8_t endpoint, int status) { fail_(key, endpoint, status); }
  void Vanish(int key) { vanish_(key); }
  std::optional<Written> TakeWritten(int key);
  int Claimed(int key) const { return claimed_(key); }
  int Pending(int key) const { return pending_(key); }
  int Live() const { return live_(); }
  int Misuse() const { return misuse_(); }
  bool NoDiscovery() const { return noDiscovery_() != 0; }

 private:
  FakeModule module_;  // declared first: unloaded after the destructor's reset
  FakeLibusbAddFn add_ = nullptr;
  FakeLibusbPushFn push_ = nullptr;
  FakeLibusbFailTransferFn fail_ = nullptr;
  FakeLibusbVanishFn vanish_ = nullptr;
  FakeLibusbTakeWrittenFn takeWritten_ = nullptr;
  FakeLibusbQueryFn claimed_ = nullptr;
  FakeLibusbQueryFn pending_ = nullptr;
  FakeLibusbCounterFn live_ = nullptr;
  FakeLibusbCounterFn misuse_ = nullptr;
  FakeLibusbCounterFn noDiscovery_ = nullptr;
  FakeLibusbResetFn reset_ = nullptr;
};

}  // namespace dral_test
