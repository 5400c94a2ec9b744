#include "links/ScanSettings.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "classlib/Registry.h"

namespace dral {
namespace {

constexpr int32_t kBaudRates[] = {9600, 19200, 38400, 57600, 115200};
constexpr uint8_t kHighestBaudIndex = std::size(kBaudRates) - 1;

}  // namespace

int BaudIndexOfRate(int32_t rate) {
  const auto* end = std::end(kBaudRates);
  const auto* it = std::find(std::begin(kBaudRates), end, rate);
  return it == end ? -1 : static_cast<int>(it - std::begin(kBaudRates));
}

void TScanSettings::Load() {
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (!reg.OpenKey(kKey, true)) return;
    DevicePort = cls::ReadStringIfPresent(reg, kDevicePort).value_or(DevicePort);
    PreviousPort = cls::ReadStringIfPresent(reg, kPreviousPort).value_or(PreviousPort);
    if (auto v = cls::ReadIntegerIfPresent(reg, kAutoPortScan)) AutoPortScan = *v != 0;
    if (auto v = cls::ReadIntegerIfPresent(reg, kFixedBaudRate)) {
      AutoBaud = false;
      FixedBaudIndex = static_cast<uint8_t>(std::max(BaudIndexOfRate(*v), 0));
    }
    if (auto v = cls::ReadIntegerIfPresent(reg, kMaxBaudRate)) {
      const int index = BaudIndexOfRate(*v);
      MaxBaudIndex = static_cast<uint8_t>(index < 0 ? kHighestBaudIndex : index);
    }
    if (auto v = cls::ReadIntegerIfPresent(reg, kSerialPortDisabled)) SerialPortDisabled = *v != 0;
  } catch (const std::exception&) {
    // An unreadable store leaves the defaults.
  }
}

void TScanSettings::SavePreviousPort(const std::string& port) {
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (reg.OpenKey(kKey, true)) reg.WriteString(kPreviousPort, port);
  } catch (const std::exception&) {
    // The scan still counts as found.
  }
}

}  // namespace dral
