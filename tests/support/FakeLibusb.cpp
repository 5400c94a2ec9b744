#include "testsupport/FakeLibusb.h"

#include <algorithm>

namespace dral_test {

const char* const kFakeLibusbPath = DRAL_FAKE_LIBUSB_PATH;

std::vector<uint8_t> UsbConfiguration(const std::vector<UsbInterfaceSpec>& interfaces) {
  std::vector<uint8_t> numbers;
  for (const auto& i : interfaces) {
    if (std::find(numbers.begin(), numbers.end(), i.Number) == numbers.end()) {
      numbers.push_back(i.Number);
    }
  }
  // Configuration 1, bus-powered, 100 mA; wTotalLength is filled in at the end.
  std::vector<uint8_t> config = {9, 2, 0, 0, static_cast<uint8_t>(numbers.size()), 1, 0, 0x80, 50};
  for (const auto& i : interfaces) {
    for (const uint8_t b : {uint8_t{9}, uint8_t{4}, i.Number, i.Alternate,
                            static_cast<uint8_t>(i.Endpoints.size()), i.Class, uint8_t{0},
                            uint8_t{0}, uint8_t{0}}) {
      config.push_back(b);
    }
    for (const auto& e : i.Endpoints) {
      for (const uint8_t b : {uint8_t{7}, uint8_t{5}, e.Address, e.Attributes,
                              static_cast<uint8_t>(e.MaxPacketSize & 0xFF),
                              static_cast<uint8_t>(e.MaxPacketSize >> 8), e.Interval}) {
        config.push_back(b);
      }
    }
  }
  config[2] = static_cast<uint8_t>(config.size() & 0xFF);
  config[3] = static_cast<uint8_t>(config.size() >> 8);
  return config;
}

FakeLibusb::FakeLibusb() : module_(kFakeLibusbPath, "fake libusb") {
  module_.Take(add_, "FakeLibusb_Add");
  module_.Take(push_, "FakeLibusb_Push");
  module_.Take(fail_, "FakeLibusb_FailTransfer");
  module_.Take(vanish_, "FakeLibusb_Vanish");
  module_.Take(takeWritten_, "FakeLibusb_TakeWritten");
  module_.Take(claimed_, "FakeLibusb_Claimed");
  module_.Take(pending_, "FakeLibusb_Pending");
  module_.Take(live_, "FakeLibusb_Live");
  module_.Take(misuse_, "FakeLibusb_Misuse");
  module_.Take(noDiscovery_, "FakeLibusb_NoDiscovery");
  module_.Take(reset_, "FakeLibusb_Reset");
  reset_();
}

FakeLibusb::~FakeLibusb() {
  reset_();  // before module_ unloads the fake
}

std::optional<FakeLibusb::Written> FakeLibusb::TakeWritten(int key) {
  std::vector<uint8_t> buffer(65536);
  uint8_t endpoint = 0;
  const int n = takeWritten_(key, &endpoint, buffer.data(), buffer.size());
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return Written{endpoint, std::move(buffer)};
}

}  // namespace dral_test
