// The host's network interfaces: the list with description, index and first IPv4 address, and
// adding an IPv4 address to an interface (over getifaddrs and rtnetlink, in the network
// namespace of the calling thread).
//
// Descriptions come partly from sysfs, under the sysfs directory: $DRAL_SYSFS_DIR when set, else
// /sys (read at each call; tests point it at a tree of their own). sysfs shows the interfaces of
// the network namespace it was mounted in, so a caller in another namespace sets the variable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct NetInterface {
  std::string Name;         // kernel name ("usb0")
  // The interface alias when one is set; else the USB product string of the USB device the
  // interface belongs to (the USB adapter's own name); else the name of the interface's driver
  // ("rndis_host"); else, for an interface without a device (veth, bridge), the name.
  std::string Description;
  uint32_t Index = 0;       // interface index
  std::string Address;      // first IPv4 address, dotted; "0.0.0.0" when it has none
  std::string Mask;         // that address's mask, dotted; "0.0.0.0" when it has none
};

// The sysfs directory: $DRAL_SYSFS_DIR, else "/sys".
std::string SysfsDirectory();

// Every interface but the loopback ones, in index order. False (and *error set to errno) when
// the list cannot be read. Any thread may call it; it blocks only for the kernel's answer.
bool ListNetInterfaces(std::vector<NetInterface>* list, int* error);

// Results of AddInterfaceAddress.
constexpr uint32_t kAddressAdded = 0;
constexpr uint32_t kAddressAccessDenied = 5;     // the caller may not change the interface
constexpr uint32_t kAddressFailed = 31;          // any other failure; *error holds the errno
constexpr uint32_t kAddressAlreadyExists = 5010;

// Adds `address` with `mask` (both in network byte order) to the interface `index`. The address
// stays until someone removes it. *error receives the errno behind the result (0 when added).
uint32_t AddInterfaceAddress(uint32_t index, uint32_t address, uint32_t mask, int* error);

// The system's text for an errno value.
std::string SystemErrorText(int error);

}  // namespace plat
