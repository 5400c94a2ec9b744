#include "links/DeviceRegistrar.h"

#include <atomic>

namespace dral {
namespace {

std::atomic<TDeviceRegistrar*> gRegistrar{nullptr};

}  // namespace

void SetDeviceRegistrar(TDeviceRegistrar* registrar) {
  gRegistrar.store(registrar, std::memory_order_release);
}

TDeviceRegistrar* DeviceRegistrar() { return gRegistrar.load(std::memory_order_acquire); }

}  // namespace dral
