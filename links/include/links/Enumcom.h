// EnumerateComPorts: the serial ports of the machine, for the serial scan and the settings
// dialog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dral {

// One port of the list: its name (a device path or "COMn") and the number of a port found by
// probing ("COMn" gives n), 0 for a listed one.
struct TComPortEntry {
  std::string Name;
  uintptr_t Object = 0;
  bool operator==(const TComPortEntry&) const = default;
};

// The highest COM number the probe tries.
constexpr int kComProbeLast = 16;

// Fills `list` and returns its count; a null list gives 0. The list is the string values of
// HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM" in stored order; only when that gives
// nothing, the ports COM1..COM16 that open (each opened exclusively and closed at once), with
// their numbers. No sorting, no removal of duplicates. Any thread.
int EnumerateComPorts(std::vector<TComPortEntry>* list);

}  // namespace dral
