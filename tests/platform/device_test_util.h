// Helpers of the device-layer tests: device folders and entries in the test's own
// DRAL_DEVICE_DIR.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "plat/device_interface.h"

namespace plat_test {

inline constexpr const char* kUsbClass = "{B2A7A7FA-CA82-474B-9BDC-9E4F66F07FB1}";
inline constexpr const char* kWinUsbClass = "{B3B99BA9-11D6-4EB9-ACD4-349BDD50810F}";

// Creates the folder of `classGuid` under the device directory and returns it.
inline std::string MakeClassFolder(const std::string& classGuid) {
  const std::string folder = plat::DeviceDirectory() + "/" + classGuid;
  std::filesystem::create_directories(folder);
  return folder;
}

inline bool MakeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

// A socket entry that nobody listens on (bound, then closed), as a crashed device leaves it.
inline bool MakeStaleSocket(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace plat_test
