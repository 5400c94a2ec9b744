// A small registry: two hives of keys holding named string and dword values, kept in text files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {

// Where the hives live:
//   CurrentUser   $XDG_CONFIG_HOME/dral/current_user.hive  (else $HOME/.config/dral/)
//   LocalMachine  /etc/dral/local_machine.hive
// When $DRAL_REGISTRY_DIR is set (and not empty), both files are in that directory instead.
// The environment is read at every call, so a change takes effect at once.
//
// File format (UTF-8 text, one item per line, every line ends with "\n"):
//   [SOFTWARE\Vendor\Product]       a key; "[]" is the hive's root key
//   Name=string:text                a string value
//   Count=dword:0000002a            a 32-bit value, 1 to 8 hex digits
//   ; comment, # comment, blank     ignored
// Names and texts are escaped: "\\", "\n", "\r", "\t" and "\xHH" (any byte but 00); names also
// escape "=", "[", ";" and "#". A line that does not parse (bad escape, unknown type, a value
// before any key, binary junk, a line longer than kMaxLineBytes, or a last line without its
// "\n", which is what a cut-off write leaves) is skipped; the other lines still count. The first
// damaged read of a file is reported on stderr, once per file path and process.
//
// Key paths are "\"-separated names; one leading "\" is ignored, as is one trailing "\".
// Key paths and value names compare case-insensitively (ASCII letters only; other bytes exactly)
// and keep the spelling of their first write. A key exists when it was created or when it is an
// ancestor of a key that was. Values keep the order in which they were first written.
//
// Every call reads the file afresh; nothing is cached. A write takes an exclusive flock on the
// lock file beside the hive ("<hive>.lock"), reads the hive, changes it, writes a temporary file,
// fsyncs it and renames it over the hive. Writers in any number of threads and processes
// therefore never lose each other's values, and every reader sees a complete file. A read takes
// the shared lock only while it opens the file (the open file stays the complete version it
// found), so readers hardly delay writers. Lock waits are bounded: a writer gives up with Timeout
// after kLockTimeoutMs; a reader that cannot get the shared lock within kReadLockTimeoutMs, or
// cannot open the lock file (a user reading /etc/dral), reads without it, which the rename makes
// safe.
//
// A write drops the damaged lines of the file it rewrites (it keeps everything it could read).
//
// The key HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM" always exists. When the hive holds
// values under it, it lists those; otherwise it lists the machine's serial devices as string
// values (see ProbeSerialDevices). Writes to it go to the hive as for any key.
//
// All functions are safe to call from any thread. No function throws; failures come back as a
// RegStatus.

enum class Hive { CurrentUser, LocalMachine };

enum class RegType { String, Dword };

enum class RegAccess { Read, ReadWrite };

enum class RegStatus {
  Ok,
  NotFound,         // no such key or value
  WrongType,        // the value exists with the other type
  InvalidArgument,  // malformed key path or value name, or a string holding a NUL byte
  AccessDenied,     // a write through a key opened for reading, or the file system refused
  TooLarge,         // the value or the hive would exceed the size limits below
  Timeout,          // another writer held the hive for longer than kLockTimeoutMs
  IoError,          // any other file system failure
};

// A short English text for logs and exception messages.
const char* RegStatusText(RegStatus status);

inline constexpr uint32_t kLockTimeoutMs = 10000;
inline constexpr uint32_t kReadLockTimeoutMs = 1000;
inline constexpr size_t kMaxKeyNameBytes = 255;  // one component of a key path
inline constexpr size_t kMaxValueNameBytes = 16383;
inline constexpr size_t kMaxLineBytes = 1 << 20;   // one line of the file, escapes included
inline constexpr size_t kMaxHiveBytes = 16 << 20;  // the whole file; the rest is not read

inline constexpr std::string_view kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The file of `hive` as the environment names it now.
std::string HiveFilePath(Hive hive);

// True when the key exists (see above). A malformed path does not exist.
bool KeyExists(Hive hive, std::string_view path);

// An open key: the hive, the normalised path and the access it was opened with. It is a plain
// value that holds no file or lock; every operation goes to the file. A key that disappears from
// the file behind its back reads as empty, and the next write through it creates it again.
class RegKey {
 public:
  // Opens an existing key. Empty with *status = NotFound when it does not exist.
  static std::optional<RegKey> Open(Hive hive, std::string_view path, RegAccess access,
                                    RegStatus* status = nullptr);
  // Opens the key for reading and writing, creating it (with its ancestors) when missing.
  static std::optional<RegKey> Create(Hive hive, std::string_view path,
                                      RegStatus* status = nullptr);

  Hive GetHive() const { return hive_; }
  // The path as the caller spelled it, without the leading and trailing "\".
  const std::string& Path() const { return path_; }
  bool ReadOnly() const { return access_ == RegAccess::Read; }

  // NotFound when the value is missing, WrongType when it holds the other type; *out is then
  // left as it was.
  RegStatus ReadString(std::string_view name, std::string* out) const;
  RegStatus ReadDword(std::string_view name, uint32_t* out) const;
  // The type of the value, or empty when it does not exist (or the hive cannot be read).
  std::optional<RegType> ValueType(std::string_view name) const;
  // The value names in stored order.
  RegStatus ValueNames(std::vector<std::string>* out) const;

  // Write or replace a value (a replaced value keeps its place and the spelling of its name).
  // A string may hold any byte but NUL.
  RegStatus WriteString(std::string_view name, std::string_view value) const;
  RegStatus WriteDword(std::string_view name, uint32_t value) const;
  // NotFound when there is no such value.
  RegStatus DeleteValue(std::string_view name) const;

 private:
  RegKey(Hive hive, std::string path, RegAccess access)
      : hive_(hive), path_(std::move(path)), access_(access) {}
  Hive hive_;
  std::string path_;
  RegAccess access_;
};

// One serial device of the machine as SERIALCOMM lists it.
struct SerialDeviceName {
  std::string name;  // the device's base name, e.g. "ttyUSB0"
  std::string path;  // e.g. "/dev/ttyUSB0"
  bool operator==(const SerialDeviceName&) const = default;
};

// The serial devices under `devRoot`: the targets of serial/by-id/*, ttyUSB*, ttyACM*, and ttyS*
// when it is a real UART (its UART type in `sysTtyRoot`/<name>/type, else the TIOCGSERIAL type,
// is not PORT_UNKNOWN). Without duplicates, sorted by name with numbers in numeric order
// (ttyUSB2 before ttyUSB10). The roots exist for tests; the registry uses the defaults.
std::vector<SerialDeviceName> ProbeSerialDevices(const std::string& devRoot = "/dev",
                                                 const std::string& sysTtyRoot = "/sys/class/tty");

}  // namespace plat
