#include "registry_store.h"

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
#include <mutex>
#include <set>
#include <thread>

#include "plat/text_file.h"
#include "plat/unique_fd.h"

namespace plat::hive {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCurrentUserFile = "current_user.hive";
constexpr const char* kLocalMachineFile = "local_machine.hive";
constexpr const char* kMachineDir = "/etc/dral";
constexpr const char* kAppDir = "dral";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kTempSuffix = ".tmp";
constexpr mode_t kNewFileMode = 0644;

constexpr auto kFirstBackoff = std::chrono::microseconds(20);
constexpr auto kMaxBackoff = std::chrono::microseconds(1000);

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
RegStatus ReadHive(const UniqueFd& fd, const std::string& file, HiveData* data) {
  if (!fd) return RegStatus::Ok;
  std::string text;
  bool tooLong = false;
  if (int error = ReadBounded(fd.Get(), kMaxHiveBytes, &text, &tooLong); error != 0) {
    return FromErrno(error);
  }
  Damage damage;
  const size_t lines = Parse(text, data, &damage);
  if (tooLong && damage.lines == 0) damage.Note(lines + 1);
  ReportDamageOnce(file, damage);
  return RegStatus::Ok;
}

// Opens the hive file; a missing file is not an error (the descriptor is then not open).
// Anything but a regular file (a FIFO, a device) is refused.
RegStatus OpenHive(const std::string& file, UniqueFd* fd) {
  const int error = OpenRegularFile(file, fd);
  if (error == EISDIR || error == EINVAL) return RegStatus::IoError;
  return FromErrno(error);
}

}  // namespace

RegStatus LoadHive(Hive hive, HiveData* data) {
  const std::string file = HiveFilePath(hive);
  UniqueFd fd;
  {
    // The lock is held only to open the file: the open descriptor keeps the complete file that
    // was current then, whatever a writer renames over it afterwards. Best effort, as the rename
    // makes an unlocked open just as safe.
    UniqueFd lock(open((file + kLockSuffix).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (lock) (void)LockBounded(lock.Get(), LOCK_SH, kReadLockTimeoutMs);
    if (RegStatus s = OpenHive(file, &fd); s != RegStatus::Ok) return s;
  }
  return ReadHive(fd, file, data);
}

RegStatus ModifyHive(Hive hive, const std::function<RegStatus(HiveData&, bool*)>& change) {
  const std::string file = HiveFilePath(hive);
  std::error_code ec;
  fs::create_directories(fs::path(file).parent_path(), ec);
  if (ec) return FromErrno(ec.value());
  UniqueFd lock(
      open((file + kLockSuffix).c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, kNewFileMode));
  if (!lock) return FromErrno(errno);
  if (RegStatus s = LockBounded(lock.Get(), LOCK_EX, kLockTimeoutMs); s != RegStatus::Ok) return s;
  HiveData data;
  UniqueFd fd;
  if (RegStatus s = OpenHive(file, &fd); s != RegStatus::Ok) return s;
  if (RegStatus s = ReadHive(fd, file, &data); s != RegStatus::Ok) return s;
  bool changed = false;
  if (RegStatus s = change(data, &changed); s != RegStatus::Ok || !changed) return s;
  const std::string text = Serialise(data);
  if (text.size() > kMaxHiveBytes) return RegStatus::TooLarge;
  return FromErrno(ReplaceFile(file, file + kTempSuffix, text, kNewFileMode));
}

}  // namespace plat::hive

namespace plat {

std::string HiveFilePath(Hive hive) {
  return hive::RegistryDir(hive) + "/" +
         (hive == Hive::CurrentUser ? hive::kCurrentUserFile : hive::kLocalMachineFile);
}

}  // namespace plat
