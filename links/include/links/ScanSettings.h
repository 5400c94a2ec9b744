// The registry settings of the serial scan (HKEY_CURRENT_USER "\SOFTWARE\Trevik\DRAL").
#pragma once

#include <cstdint>
#include <string>

namespace dral {

// The registry values the scan reads (HKEY_CURRENT_USER), and their defaults.
struct TScanSettings {
  static constexpr const char* kKey = "\\SOFTWARE\\Trevik\\DRAL";
  static constexpr const char* kDevicePort = "DevicePort";
  static constexpr const char* kPreviousPort = "PreviousPort";
  static constexpr const char* kAutoPortScan = "AutoPortScan";
  static constexpr const char* kFixedBaudRate = "FixedBaudRate";
  static constexpr const char* kMaxBaudRate = "MaxBaudRate";
  static constexpr const char* kSerialPortDisabled = "SerialPortDisabled";

  std::string DevicePort;
  std::string PreviousPort;  // as read; the scan keeps the current one
  bool AutoPortScan = true;
  bool AutoBaud = true;  // FixedBaudRate absent
  uint8_t FixedBaudIndex = 0;
  uint8_t MaxBaudIndex = 4;
  bool SerialPortDisabled = false;

  // Reads the values; a missing or unreadable value keeps its default.
  void Load();
  // Writes `port` as PreviousPort; a failed write is ignored.
  static void SavePreviousPort(const std::string& port);
};

// The baud index of a rate in bits per second (9600 -> 0 ... 115200 -> 4); -1 for another rate.
int BaudIndexOfRate(int32_t rate);

}  // namespace dral
