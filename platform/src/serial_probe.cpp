// The serial-device probe behind the SERIALCOMM key: which tty devices of the machine are ports.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "plat/registry.h"
#include "plat/unique_fd.h"

namespace plat {
namespace {

namespace fs = std::filesystem;

bool StartsWithDigitsOnly(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  const std::string_view rest = name.substr(prefix.size());
  return std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A ttyS node exists for every possible port; only those with a UART behind them are ports.
bool IsRealUart(const std::string& sysTtyRoot, const std::string& name, const std::string& dev) {
  if (FILE* f = std::fopen((sysTtyRoot + "/" + name + "/type").c_str(), "re")) {
    int type = PORT_UNKNOWN;
    const bool read = std::fscanf(f, "%d", &type) == 1;
    std::fclose(f);
    if (read) return type != PORT_UNKNOWN;
  }
  const UniqueFd fd(open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  serial_struct info{};
  return ioctl(fd.Get(), TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
}

// Orders names with their digit runs compared as numbers.
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      std::string_view da = a.substr(i, ie - i), db = b.substr(j, je - j);
      da.remove_prefix(std::min(da.find_first_not_of('0'), da.size()));
      db.remove_prefix(std::min(db.find_first_not_of('0'), db.size()));
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<SerialDeviceName> ProbeSerialDevices(const std::string& devRoot,
                                                 const std::string& sysTtyRoot) {
  std::vector<SerialDeviceName> found;
  auto add = [&](const fs::path& path) {
    SerialDeviceName d{path.filename().string(), path.string()};
    const auto same = [&](const SerialDeviceName& f) { return f.path == d.path || f.name == d.name; };
    if (std::none_of(found.begin(), found.end(), same)) {
      found.push_back(std::move(d));
    }
  };
  std::error_code byIdError;
  for (fs::directory_iterator it(devRoot + "/serial/by-id", byIdError), end;
       !byIdError && it != end; it.increment(byIdError)) {
    std::error_code resolveError;
    const fs::path target = fs::canonical(it->path(), resolveError);
    if (!resolveError) add(target);
  }
  std::error_code devError;
  for (fs::directory_iterator it(devRoot, devError), end; !devError && it != end;
       it.increment(devError)) {
    const std::string name = it->path().filename().string();
    if (StartsWithDigitsOnly(name, "ttyUSB") || StartsWithDigitsOnly(name, "ttyACM") ||
        (StartsWithDigitsOnly(name, "ttyS") && IsRealUart(sysTtyRoot, name, it->path()))) {
      add(it->path());
    }
  }
  std::sort(found.begin(), found.end(), [](const SerialDeviceName& a, const SerialDeviceName& b) {
    return NaturalLess(a.name, b.name);
  });
  return found;
}

}  // namespace plat
