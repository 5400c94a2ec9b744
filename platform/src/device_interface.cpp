#include "plat/device_interface.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat {
namespace {

constexpr const char* kDeviceDirVar = "DRAL_DEVICE_DIR";
constexpr const char* kDefaultDeviceDir = "/dev/dral";

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Connects a UNIX socket of `type` to `path`. Paths longer than sun_path are reached through
// the folder's descriptor under /proc/self/fd. Not open on failure, with errno set.
UniqueFd ConnectUnix(const std::string& path, int type) {
  UniqueFd dir;
  std::string target = path;
  sockaddr_un addr{};
  if (target.size() >= sizeof addr.sun_path) {
    dir = UniqueFd(open(Parent(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return UniqueFd();
    target = "/proc/self/fd/" + std::to_string(dir.Get()) + "/" + BaseName(path);
    if (target.size() >= sizeof addr.sun_path) {
      errno = ENAMETOOLONG;
      return UniqueFd();
    }
  }
  addr.sun_family = AF_UNIX;
  target.copy(addr.sun_path, target.size());
  UniqueFd fd(socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    fd.Reset();
    errno = err;
  }
  return fd;
}

// An open device entry. Reads complete with what one read(2) delivers; writes complete when
// every byte was taken.
class DeviceFile final : public AsyncDevice {
 public:
  DeviceFile(UniqueFd fd, DeviceKind kind, std::string path)
      : AsyncDevice(std::move(fd)), kind_(kind), path_(std::move(path)) {}
  ~DeviceFile() override { Close(); }

  IoResult Read(void* buffer, uint32_t length, Overlapped& ov) {
    return Submit(false, static_cast<uint8_t*>(buffer), length, 0, ov);
  }
  IoResult Write(const void* buffer, uint32_t length, Overlapped& ov) {
    // The buffer is only read from on the write path.
    return Submit(true, static_cast<uint8_t*>(const_cast<void*>(buffer)), length, 0, ov);
  }
  const std::string& Path() const { return path_; }

 private:
  bool IsSocket() const {
    return kind_ == DeviceKind::StreamSocket || kind_ == DeviceKind::SeqPacketSocket;
  }

  // True when the peer of a socket has shut down; used to tell an empty seqpacket packet from
  // the end of the connection, which both read as 0 bytes.
  bool PeerGoneLocked() const {
    pollfd p{fd_.Get(), POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
  }

  void ServiceLocked(short revents) override {
    const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    for (auto it = reads_.begin(); it != reads_.end();) {
      if (it->Length == 0) {
        it = CompleteLocked(reads_, it, kErrorSuccess);
        continue;
      }
      const ssize_t n = IsSocket() ? recv(fd_.Get(), it->Buffer, it->Length, MSG_DONTWAIT)
                                   : read(fd_.Get(), it->Buffer, it->Length);
      if (n > 0) {
        it->Done = static_cast<uint32_t>(n);
        it = CompleteLocked(reads_, it, kErrorSuccess);
      } else if (n == 0) {
        const bool emptyPacket = kind_ == DeviceKind::SeqPacketSocket && !PeerGoneLocked();
        it = CompleteLocked(reads_, it, emptyPacket ? kErrorSuccess : kErrorDeviceNotConnected);
      } else if (errno == EINTR) {
        continue;
      } else if (errno == EAGAIN) {
        if (!hungUp) break;  // later reads wait behind this one
        it = CompleteLocked(reads_, it, kErrorDeviceNotConnected);
      } else {
        it = CompleteLocked(reads_, it, ErrorFromErrno(errno));
      }
    }
    for (auto it = writes_.begin(); it != writes_.end();) {
      if (it->Done == it->Length) {
        it = CompleteLocked(writes_, it, kErrorSuccess);
        continue;
      }
      const uint8_t* data = it->Buffer + it->Done;
      const size_t left = it->Length - it->Done;
      const ssize_t n = IsSocket() ? send(fd_.Get(), data, left, MSG_NOSIGNAL | MSG_DONTWAIT)
                                   : write(fd_.Get(), data, left);
      if (n >= 0) {
        it->Done += static_cast<uint32_t>(n);
        if (it->Done < it->Length) break;  // the rest when the device takes more
        it = CompleteLocked(writes_, it, kErrorSuccess);
      } else if (errno == EINTR) {
        continue;
      } else if (errno == EAGAIN) {
        if (!hungUp) break;
        it = CompleteLocked(writes_, it, kErrorDeviceNotConnected);
      } else {
        it = CompleteLocked(writes_, it, ErrorFromErrno(errno));
      }
    }
  }

  const DeviceKind kind_;
  const std::string path_;
};

struct HandleTable {
  std::mutex mutex;  // guards files and next
  std::unordered_map<DeviceHandle, std::shared_ptr<DeviceFile>> files;
  DeviceHandle next = 0;
};

// Process-wide, as the handles of a process are; never destroyed, so threads that outlive
// static destruction still find a valid (if empty) table.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

std::shared_ptr<DeviceFile> Find(DeviceHandle handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  const auto it = t.files.find(handle);
  return it == t.files.end() ? nullptr : it->second;
}

}  // namespace

std::string DeviceDirectory() {
  const char* dir = std::getenv(kDeviceDirVar);
  return dir && *dir ? dir : kDefaultDeviceDir;
}

std::string DeviceInterfaceFolder(std::string_view classGuid) {
  const std::string root = DeviceDirectory();
  const std::string exact = root + "/" + std::string(classGuid);
  if (IsDirectory(exact)) return exact;
  std::vector<std::string> matches;
  if (DIR* d = opendir(root.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (strlen(e->d_name) == classGuid.size() &&
          strncasecmp(e->d_name, classGuid.data(), classGuid.size()) == 0) {
        matches.emplace_back(e->d_name);
      }
    }
    closedir(d);
  }
  std::sort(matches.begin(), matches.end());
  for (const auto& m : matches) {
    if (IsDirectory(root + "/" + m)) return root + "/" + m;
  }
  return exact;
}

std::vector<std::string> EnumerateDeviceInterfaces(std::string_view classGuid, int* error) {
  if (error) *error = 0;
  const std::string folder = DeviceInterfaceFolder(classGuid);
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) {
    if (error && errno != ENOENT && errno != ENOTDIR) *error = errno;
    return {};
  }
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    struct stat st {};
    if (stat((folder + "/" + e->d_name).c_str(), &st) != 0) continue;  // dangling, or gone
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
      names.emplace_back(e->d_name);
    }
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (auto& n : names) n = folder + "/" + n;
  return names;
}

UniqueFd OpenDeviceNode(const std::string& path, DeviceKind* kind, uint32_t* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *error = ErrorFromErrno(errno);
    return UniqueFd();
  }
  if (S_ISSOCK(st.st_mode)) {
    UniqueFd fd = ConnectUnix(path, SOCK_STREAM);
    *kind = DeviceKind::StreamSocket;
    if (!fd && errno == EPROTOTYPE) {
      fd = ConnectUnix(path, SOCK_SEQPACKET);
      *kind = DeviceKind::SeqPacketSocket;
    }
    // A full backlog (EAGAIN) maps to kErrorBusy: the open never waits for the listener.
    *error = !fd ? ErrorFromErrno(errno) : kErrorSuccess;
    return fd;
  }
  if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    *error = kErrorNotSupported;
    return UniqueFd();
  }
  *kind = S_ISFIFO(st.st_mode) ? DeviceKind::Fifo : DeviceKind::CharacterDevice;
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    *error = ErrorFromErrno(errno);
    return fd;
  }
  // Opened without sharing: a second opener of the same entry is refused.
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(errno);
    return UniqueFd();
  }
  // A terminal device carries the adapter's binary byte stream: its line discipline must not
  // echo, translate line ends or treat any byte as a control character. CLOCAL: the adapter
  // has no carrier, so a carrier line that drops (or floats) must not hang the device up, which
  // would pass for its removal. The line rate stays as it is.
  termios settings{};
  if (isatty(fd.Get()) && tcgetattr(fd.Get(), &settings) == 0) {
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd.Get(), TCSANOW, &settings);
  }
  *error = kErrorSuccess;
  return fd;
}

DeviceHandle CreateDeviceFile(const std::string& path, uint32_t* error) {
  DeviceKind kind{};
  UniqueFd fd = OpenDeviceNode(path, &kind, error);
  if (!fd) return 0;
  auto file = std::make_shared<DeviceFile>(std::move(fd), kind, path);
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  do {
    ++t.next;
  } while (t.next == 0 || t.files.count(t.next) != 0);
  t.files.emplace(t.next, std::move(file));
  *error = kErrorSuccess;
  return t.next;
}

bool CloseDeviceFile(DeviceHandle handle) {
  std::shared_ptr<DeviceFile> file;
  {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.files.find(handle);
    if (it == t.files.end()) return false;
    file = std::move(it->second);
    t.files.erase(it);
  }
  file->Close();
  return true;
}

std::string DeviceFilePath(DeviceHandle handle) {
  const auto file = Find(handle);
  return file ? file->Path() : std::string();
}

IoResult ReadFile(DeviceHandle handle, void* buffer, uint32_t length, Overlapped& ov) {
  const auto file = Find(handle);
  if (!file) return {IoStatus::Failed, 0, kErrorInvalidHandle};
  return file->Read(buffer, length, ov);
}

IoResult WriteFile(DeviceHandle handle, const void* buffer, uint32_t length, Overlapped& ov) {
  const auto file = Find(handle);
  if (!file) return {IoStatus::Failed, 0, kErrorInvalidHandle};
  return file->Write(buffer, length, ov);
}

bool CancelIo(DeviceHandle handle) {
  const auto file = Find(handle);
  return file && file->CancelThreadIo();
}

UniqueFd DuplicateDeviceDescriptor(DeviceHandle handle, uint32_t* error) {
  const auto file = Find(handle);
  if (!file) {
    *error = kErrorInvalidHandle;
    return UniqueFd();
  }
  return UniqueFd(file->DuplicateDescriptor(error));
}

}  // namespace plat
