#include "ComProbe.h"

#include "plat/serial_device.h"

namespace dral {

bool ComPortOpens(const std::string& name) {
  plat::SerialDevice device;
  if (device.Open(name) != 0) return false;
  device.Close();
  return true;
}

}  // namespace dral
