#include "plat/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace plat {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCurrentUserFile = "current_user.hive";
constexpr const char* kLocalMachineFile = "local_machine.hive";
constexpr const char* kMachineDir = "/etc/dral";
constexpr const char* kAppDir = "dral";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kHeader = "; DRAL registry hive. Written by the programs; see registry.h.\n";
constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kModeBits = 07777;

constexpr std::string_view kStringTag = "string";
constexpr std::string_view kDwordTag = "dword";
constexpr size_t kMaxDwordDigits = 8;
constexpr char kSeparator = '\\';

constexpr auto kFirstBackoff = std::chrono::microseconds(20);
constexpr auto kMaxBackoff = std::chrono::microseconds(1000);

// ---- names -------------------------------------------------------------------------------------

char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// True when `ancestor` names `path` itself or a key above it.
bool IsSameOrAncestor(std::string_view ancestor, std::string_view path) {
  if (ancestor.empty()) return true;
  if (path.size() < ancestor.size()) return false;
  if (!SameName(ancestor, path.substr(0, ancestor.size()))) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == kSeparator;
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// Strips one leading and one trailing separator and checks every component.
bool NormalisePath(std::string_view in, std::string* out) {
  if (!in.empty() && in.front() == kSeparator) in.remove_prefix(1);
  if (!in.empty() && in.back() == kSeparator) in.remove_suffix(1);
  size_t start = 0;
  while (!in.empty() && start <= in.size()) {
    size_t end = in.find(kSeparator, start);
    if (end == std::string_view::npos) end = in.size();
    std::string_view part = in.substr(start, end - start);
    if (part.empty() || part.size() > kMaxKeyNameBytes) return false;
    for (unsigned char c : part) {
      if (IsControl(c)) return false;
    }
    start = end + 1;
  }
  out->assign(in);
  return true;
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameBytes && name.find('\0') == std::string_view::npos;
}

// ---- escapes -----------------------------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendEscaped(std::string_view in, bool isName, std::string* out) {
  for (char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        *out += "\\\\";
        continue;
      case '\n':
        *out += "\\n";
        continue;
      case '\r':
        *out += "\\r";
        continue;
      case '\t':
        *out += "\\t";
        continue;
      default:
        break;
    }
    // In a name, "=" would end it and "[", ";", "#" could make the line look like a key or a
    // comment.
    const bool special = isName && (ch == '=' || ch == '[' || ch == ';' || ch == '#');
    if (IsControl(c) || special) {
      *out += "\\x";
      *out += kHexDigits[c >> 4];
      *out += kHexDigits[c & 0xF];
    } else {
      *out += ch;
    }
  }
}

bool Unescape(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\':
        *out += '\\';
        break;
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      case 't':
        *out += '\t';
        break;
      case 'x': {
        if (in.size() - i < 3) return false;  // "x" and two digits
        const int hi = HexValue(in[i + 1]);
        const int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
        *out += static_cast<char>(hi << 4 | lo);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// ---- the hive in memory ------------------------------------------------------------------------

struct Value {
  std::string name;
  RegType type = RegType::String;
  std::string text;
  uint32_t dword = 0;
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

struct HiveData {
  std::vector<Key> keys;  // in file order
};

Key* FindKey(HiveData& data, std::string_view path) {
  for (Key& k : data.keys) {
    if (SameName(k.path, path)) return &k;
  }
  return nullptr;
}

const Key* FindKey(const HiveData& data, std::string_view path) {
  return FindKey(const_cast<HiveData&>(data), path);
}

Key& FindOrAddKey(HiveData& data, std::string_view path) {
  if (Key* k = FindKey(data, path)) return *k;
  data.keys.push_back(Key{std::string(path), {}});
  return data.keys.back();
}

bool KeyExistsIn(const HiveData& data, std::string_view path) {
  return std::any_of(data.keys.begin(), data.keys.end(),
                     [&](const Key& k) { return IsSameOrAncestor(path, k.path); });
}

const Value* FindValue(const Key& key, std::string_view name) {
  for (const Value& v : key.values) {
    if (SameName(v.name, name)) return &v;
  }
  return nullptr;
}

bool SetValue(Key& key, Value value) {
  for (Value& v : key.values) {
    if (!SameName(v.name, value.name)) continue;
    if (v.type == value.type && v.text == value.text && v.dword == value.dword) return false;
    v.type = value.type;
    v.text = std::move(value.text);
    v.dword = value.dword;
    return true;
  }
  key.values.push_back(std::move(value));
  return true;
}

// ---- text form ---------------------------------------------------------------------------------

void AppendValueLine(const Value& v, std::string* out) {
  AppendEscaped(v.name, true, out);
  *out += '=';
  if (v.type == RegType::String) {
    *out += kStringTag;
    *out += ':';
    AppendEscaped(v.text, false, out);
  } else {
    char digits[kMaxDwordDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(v.dword));
    *out += kDwordTag;
    *out += ':';
    *out += digits;
  }
  *out += '\n';
}

std::string Serialise(const HiveData& data) {
  std::string out = kHeader;
  for (const Key& k : data.keys) {
    out += "\n[";
    out += k.path;
    out += "]\n";
    for (const Value& v : k.values) AppendValueLine(v, &out);
  }
  return out;
}

bool ParseDword(std::string_view digits, uint32_t* out) {
  if (digits.empty() || digits.size() > kMaxDwordDigits) return false;
  uint32_t value = 0;
  for (char c : digits) {
    const int d = HexValue(c);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  *out = value;
  return true;
}

bool ParseValueLine(std::string_view line, Value* out) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  if (!Unescape(line.substr(0, eq), &out->name) || !ValidValueName(out->name)) return false;
  std::string_view rest = line.substr(eq + 1);
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view tag = rest.substr(0, colon);
  const std::string_view data = rest.substr(colon + 1);
  if (SameName(tag, kStringTag)) {
    out->type = RegType::String;
    return Unescape(data, &out->text);
  }
  if (SameName(tag, kDwordTag)) {
    out->type = RegType::Dword;
    return ParseDword(data, &out->dword);
  }
  return false;
}

struct Damage {
  size_t lines = 0;
  size_t firstLine = 0;
  void Note(size_t lineNo) {
    if (lines++ == 0) firstLine = lineNo;
  }
};

// Reads what it can; a later duplicate of a value replaces the earlier one, as a write would.
// Returns the number of lines seen.
size_t Parse(std::string_view text, HiveData* data, Damage* damage) {
  Key* current = nullptr;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    ++lineNo;
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {  // cut off: the writer ends every line
      damage->Note(lineNo);
      break;
    }
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.front() == ';' || line.front() == '#') continue;
    const bool isKey = line.front() == '[';
    const bool junk =
        line.size() > kMaxLineBytes || std::any_of(line.begin(), line.end(), [](char c) {
          return c != '\t' && IsControl(static_cast<unsigned char>(c));
        });
    if (isKey) {
      // Values after a key that cannot be read belong to no key we know: skip them too.
      current = nullptr;
      std::string path;
      if (junk || line.back() != ']' || !NormalisePath(line.substr(1, line.size() - 2), &path)) {
        damage->Note(lineNo);
        continue;
      }
      current = &FindOrAddKey(*data, path);
      continue;
    }
    Value value;
    if (junk || current == nullptr || !ParseValueLine(line, &value)) {
      damage->Note(lineNo);
      continue;
    }
    SetValue(*current, std::move(value));
  }
  return lineNo;
}

void ReportDamageOnce(const std::string& file, const Damage& damage) {
  if (damage.lines == 0) return;
  static std::mutex mutex;                              // guards reported
  static auto* reported = new std::set<std::string>();  // kept until exit, never freed
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!reported->insert(file).second) return;
  }
  std::fprintf(stderr, "registry: %s: skipped %zu damaged line(s), the first at line %zu\n",
               file.c_str(), damage.lines, damage.firstLine);
}

// ---- files -------------------------------------------------------------------------------------

RegStatus FromErrno(int error) {
  switch (error) {
    case 0:
      return RegStatus::Ok;
    case ENOENT:
    case ENOTDIR:
      return RegStatus::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return RegStatus::AccessDenied;
    case EFBIG:
      return RegStatus::TooLarge;
    default:
      return RegStatus::IoError;
  }
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now and reports the result (a failed close may mean a failed write).
  int Close() {
    const int r = close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

// flock has no time-out of its own, so try without blocking and back off.
RegStatus LockBounded(int fd, int operation, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = kFirstBackoff;
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0) return RegStatus::Ok;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return FromErrno(errno);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return RegStatus::Timeout;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kMaxBackoff);
  }
}

std::string RegistryDir(Hive hive) {
  if (const char* dir = std::getenv("DRAL_REGISTRY_DIR"); dir && *dir) return dir;
  if (hive == Hive::LocalMachine) return kMachineDir;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return std::string(config) + "/" + kAppDir;
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else {
    passwd pw{};
    passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result) home = pw.pw_dir;
  }
  return home + "/.config/" + kAppDir;
}

// Reads the open hive file into `data`. An fd that is not open (the file is missing) reads as an
// empty hive.
RegStatus ReadHive(const Fd& fd, const std::string& file, HiveData* data) {
  if (!fd.ok()) return RegStatus::Ok;
  std::string text;
  constexpr size_t kChunk = 64 * 1024;
  bool tooLong = false;
  for (;;) {
    const size_t old = text.size();
    if (old >= kMaxHiveBytes) {
      char probe;
      tooLong = read(fd.get(), &probe, 1) > 0;
      break;
    }
    text.resize(old + std::min(kChunk, kMaxHiveBytes - old));
    const ssize_t n = read(fd.get(), text.data() + old, text.size() - old);
    if (n < 0 && errno == EINTR) {
      text.resize(old);
      continue;
    }
    if (n < 0) return FromErrno(errno);
    text.resize(old + static_cast<size_t>(n));
    if (n == 0) break;
  }
  Damage damage;
  const size_t lines = Parse(text, data, &damage);
  if (tooLong && damage.lines == 0) damage.Note(lines + 1);
  ReportDamageOnce(file, damage);
  return RegStatus::Ok;
}

// Opens the hive file; a missing file is not an error (the Fd is then not open). Anything but a
// regular file (a FIFO, a device) is refused: the open does not block (O_NONBLOCK), so such an
// entry can never hold a reader in open() or read().
RegStatus OpenHive(const std::string& file, Fd* fd) {
  const int raw = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int error = errno;
  *fd = Fd(raw);
  if (raw < 0) return error == ENOENT ? RegStatus::Ok : FromErrno(error);
  struct stat st {};
  if (fstat(raw, &st) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) {
    *fd = Fd(-1);
    return RegStatus::IoError;
  }
  return RegStatus::Ok;
}

RegStatus LoadHive(Hive hive, HiveData* data) {
  const std::string file = HiveFilePath(hive);
  Fd fd(-1);
  {
    // The lock is held only to open the file: the open descriptor keeps the complete file that
    // was current then, whatever a writer renames over it afterwards. Best effort, as the rename
    // makes an unlocked open just as safe.
    Fd lock(open((file + kLockSuffix).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (lock.ok()) (void)LockBounded(lock.get(), LOCK_SH, kReadLockTimeoutMs);
    if (RegStatus s = OpenHive(file, &fd); s != RegStatus::Ok) return s;
  }
  return ReadHive(fd, file, data);
}

RegStatus WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FromErrno(errno);
    text.remove_prefix(static_cast<size_t>(n));
  }
  return RegStatus::Ok;
}

RegStatus ReplaceFile(const std::string& file, std::string_view text) {
  const std::string temp = file + kTempSuffix;
  struct stat old {};
  const bool keepMode = stat(file.c_str(), &old) == 0;
  Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!fd.ok()) return FromErrno(errno);
  RegStatus status = RegStatus::Ok;
  if (keepMode && fchmod(fd.get(), old.st_mode & kModeBits) != 0) status = FromErrno(errno);
  if (status == RegStatus::Ok) status = WriteAll(fd.get(), text);
  if (status == RegStatus::Ok && fsync(fd.get()) != 0) status = FromErrno(errno);
  if (fd.Close() != 0 && status == RegStatus::Ok) status = FromErrno(errno);
  if (status == RegStatus::Ok && rename(temp.c_str(), file.c_str()) != 0) {
    status = FromErrno(errno);
  }
  if (status != RegStatus::Ok) {
    unlink(temp.c_str());
    return status;
  }
  // Make the rename itself durable; the data is already safe either way.
  Fd dir(open(fs::path(file).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.ok()) (void)fsync(dir.get());
  return RegStatus::Ok;
}

// Read-modify-write under the exclusive lock. `change` returns Ok and sets *changed when the hive
// must be written back.
RegStatus ModifyHive(Hive hive, const std::function<RegStatus(HiveData&, bool*)>& change) {
  const std::string file = HiveFilePath(hive);
  std::error_code ec;
  fs::create_directories(fs::path(file).parent_path(), ec);
  if (ec) return FromErrno(ec.value());
  Fd lock(open((file + kLockSuffix).c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC,
               kNewFileMode));
  if (!lock.ok()) return FromErrno(errno);
  if (RegStatus s = LockBounded(lock.get(), LOCK_EX, kLockTimeoutMs); s != RegStatus::Ok) return s;
  HiveData data;
  Fd fd(-1);
  if (RegStatus s = OpenHive(file, &fd); s != RegStatus::Ok) return s;
  if (RegStatus s = ReadHive(fd, file, &data); s != RegStatus::Ok) return s;
  bool changed = false;
  if (RegStatus s = change(data, &changed); s != RegStatus::Ok || !changed) return s;
  const std::string text = Serialise(data);
  if (text.size() > kMaxHiveBytes) return RegStatus::TooLarge;
  return ReplaceFile(file, text);
}

// ---- SERIALCOMM --------------------------------------------------------------------------------

bool IsSerialCommKey(Hive hive, std::string_view path) {
  return hive == Hive::LocalMachine && SameName(path, kSerialCommKey);
}

// The key to read from: the stored one, or for an empty SERIALCOMM the devices found now.
// Null when the key has no stored form and is not virtual.
const Key* ReadableKey(const HiveData& data, Hive hive, std::string_view path, Key* scratch) {
  const Key* stored = FindKey(data, path);
  if (!IsSerialCommKey(hive, path) || (stored && !stored->values.empty())) return stored;
  scratch->path = path;
  scratch->values.clear();
  for (SerialDevice& d : ProbeSerialDevices()) {
    scratch->values.push_back(Value{std::move(d.name), RegType::String, std::move(d.path), 0});
  }
  return scratch;
}

}  // namespace

const char* RegStatusText(RegStatus status) {
  switch (status) {
    case RegStatus::Ok:
      return "success";
    case RegStatus::NotFound:
      return "not found";
    case RegStatus::WrongType:
      return "value of another type";
    case RegStatus::InvalidArgument:
      return "invalid key path, value name or data";
    case RegStatus::AccessDenied:
      return "access denied";
    case RegStatus::TooLarge:
      return "value or hive too large";
    case RegStatus::Timeout:
      return "registry busy";
    case RegStatus::IoError:
      return "input/output error";
  }
  return "unknown error";
}

std::string HiveFilePath(Hive hive) {
  return RegistryDir(hive) + "/" +
         (hive == Hive::CurrentUser ? kCurrentUserFile : kLocalMachineFile);
}

bool KeyExists(Hive hive, std::string_view path) {
  std::string norm;
  if (!NormalisePath(path, &norm)) return false;
  if (norm.empty()) return true;  // every hive has its root
  if (hive == Hive::LocalMachine && IsSameOrAncestor(norm, kSerialCommKey)) return true;
  HiveData data;
  return LoadHive(hive, &data) == RegStatus::Ok && KeyExistsIn(data, norm);
}

std::optional<RegKey> RegKey::Open(Hive hive, std::string_view path, RegAccess access,
                                   RegStatus* status) {
  RegStatus dummy;
  if (!status) status = &dummy;
  std::string norm;
  if (!NormalisePath(path, &norm)) {
    *status = RegStatus::InvalidArgument;
    return std::nullopt;
  }
  if (!KeyExists(hive, norm)) {
    *status = RegStatus::NotFound;
    return std::nullopt;
  }
  *status = RegStatus::Ok;
  return RegKey(hive, std::move(norm), access);
}

std::optional<RegKey> RegKey::Create(Hive hive, std::string_view path, RegStatus* status) {
  RegStatus dummy;
  if (!status) status = &dummy;
  std::string norm;
  if (!NormalisePath(path, &norm)) {
    *status = RegStatus::InvalidArgument;
    return std::nullopt;
  }
  // Only write when needed, so opening an existing key works where the hive is read-only.
  *status =
      KeyExists(hive, norm) ? RegStatus::Ok : ModifyHive(hive, [&](HiveData& data, bool* changed) {
        *changed = !KeyExistsIn(data, norm);
        if (*changed) FindOrAddKey(data, norm);
        return RegStatus::Ok;
      });
  if (*status != RegStatus::Ok) return std::nullopt;
  return RegKey(hive, std::move(norm), RegAccess::ReadWrite);
}

namespace {

// Finds the value as readers see it (SERIALCOMM included).
RegStatus ReadValue(Hive hive, const std::string& path, std::string_view name, Value* out) {
  HiveData data;
  if (RegStatus s = LoadHive(hive, &data); s != RegStatus::Ok) return s;
  Key scratch;
  const Key* key = ReadableKey(data, hive, path, &scratch);
  const Value* v = key ? FindValue(*key, name) : nullptr;
  if (!v) return RegStatus::NotFound;
  *out = *v;
  return RegStatus::Ok;
}

}  // namespace

RegStatus RegKey::ReadString(std::string_view name, std::string* out) const {
  Value v;
  if (RegStatus s = ReadValue(hive_, path_, name, &v); s != RegStatus::Ok) return s;
  if (v.type != RegType::String) return RegStatus::WrongType;
  *out = std::move(v.text);
  return RegStatus::Ok;
}

RegStatus RegKey::ReadDword(std::string_view name, uint32_t* out) const {
  Value v;
  if (RegStatus s = ReadValue(hive_, path_, name, &v); s != RegStatus::Ok) return s;
  if (v.type != RegType::Dword) return RegStatus::WrongType;
  *out = v.dword;
  return RegStatus::Ok;
}

std::optional<RegType> RegKey::ValueType(std::string_view name) const {
  Value v;
  if (ReadValue(hive_, path_, name, &v) != RegStatus::Ok) return std::nullopt;
  return v.type;
}

RegStatus RegKey::ValueNames(std::vector<std::string>* out) const {
  HiveData data;
  if (RegStatus s = LoadHive(hive_, &data); s != RegStatus::Ok) return s;
  Key scratch;
  const Key* key = ReadableKey(data, hive_, path_, &scratch);
  out->clear();
  if (key) {
    for (const Value& v : key->values) out->push_back(v.name);
  }
  return RegStatus::Ok;
}

namespace {

RegStatus WriteValue(Hive hive, const std::string& path, Value value) {
  std::string line;
  AppendValueLine(value, &line);
  if (line.size() > kMaxLineBytes) return RegStatus::TooLarge;
  return ModifyHive(hive, [&](HiveData& data, bool* changed) {
    // The key may have been lost to a damaged file since it was opened: create it again.
    *changed = SetValue(FindOrAddKey(data, path), std::move(value));
    return RegStatus::Ok;
  });
}

}  // namespace

RegStatus RegKey::WriteString(std::string_view name, std::string_view value) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name) || value.find('\0') != std::string_view::npos) {
    return RegStatus::InvalidArgument;
  }
  return WriteValue(hive_, path_, Value{std::string(name), RegType::String, std::string(value), 0});
}

RegStatus RegKey::WriteDword(std::string_view name, uint32_t value) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name)) return RegStatus::InvalidArgument;
  return WriteValue(hive_, path_, Value{std::string(name), RegType::Dword, {}, value});
}

RegStatus RegKey::DeleteValue(std::string_view name) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name)) return RegStatus::InvalidArgument;
  return ModifyHive(hive_, [&](HiveData& data, bool* changed) {
    Key* key = FindKey(data, path_);
    if (!key) return RegStatus::NotFound;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const Value& v) { return SameName(v.name, name); });
    if (it == key->values.end()) return RegStatus::NotFound;
    key->values.erase(it);
    *changed = true;
    return RegStatus::Ok;
  });
}

}  // namespace plat
