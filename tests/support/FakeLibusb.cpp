#include "testsupport/FakeLibusb.h"

#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>

namespace dral_test {

const char* const kFakeLibusbPath = DRAL_FAKE_LIBUSB_PATH;

namespace {

template <typename Fn>
void Take(void* module, Fn& entry, const char* name) {
  entry = reinterpret_cast<Fn>(dlsym(module, name));
  if (!entry) throw std::runtime_error(std::string("fake libusb lacks ") + name);
}

}  // namespace

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

FakeLibusb::FakeLibusb() {
  module_ = dlopen(kFakeLibusbPath, RTLD_NOW | RTLD_LOCAL);
  if (!module_) throw std::runtime_error(std::string("cannot load ") + kFakeLibusbPath);
  Take(module_, add_, "FakeLibusb_Add");
  Take(module_, push_, "FakeLibusb_Push");
  Take(module_, fail_, "FakeLibusb_FailTransfer");
  Take(module_, vanish_, "FakeLibusb_Vanish");
  Take(module_, takeWritten_, "FakeLibusb_TakeWritten");
  Take(module_, claimed_, "FakeLibusb_Claimed");
  Take(module_, pending_, "FakeLibusb_Pending");
  Take(module_, live_, "FakeLibusb_Live");
  Take(module_, misuse_, "FakeLibusb_Misuse");
  Take(module_, noDiscovery_, "FakeLibusb_NoDiscovery");
  Take(module_, reset_, "FakeLibusb_Reset");
  reset_();
}

FakeLibusb::~FakeLibusb() {
  reset_();
  dlclose(module_);
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
