#include "plat/liveness_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <set>

#include "plat/object_name.h"
#include "plat/unique_fd.h"

namespace plat {
namespace {

constexpr mode_t kOpenMode = 0666;  // stands for the Windows null DACL
constexpr const char* kObjectDirectory = "/dev/shm";

int LastError() { return errno != 0 ? errno : EIO; }

// Whole-file write lock of the open file description.
struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;  // required for open-file-description locks
  return lock;
}

int FcntlRetry(int fd, int command, struct flock* lock) {
  int rc;
  do {
    rc = fcntl(fd, command, lock);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// The descriptors of this process's LivenessLock objects. Every change of one (open, lock,
// close) happens under the mutex, and fork() takes it first, so a child never inherits a lock
// half made or half released; in the child every descriptor is closed and marked inert.
class ForkRegistry {
 public:
  // Never destroyed, and in static storage rather than on the heap: a library unloaded with
  // dlclose then leaves no memory behind (an empty set holds none).
  static ForkRegistry& Get() {
    alignas(ForkRegistry) static unsigned char storage[sizeof(ForkRegistry)];
    static ForkRegistry* const registry = new (storage) ForkRegistry;
    return *registry;
  }
  std::mutex& Mutex() { return mutex_; }
  void AddLocked(int* fd) { fds_.insert(fd); }
  void RemoveLocked(int* fd) { fds_.erase(fd); }

 private:
  ForkRegistry() { pthread_atfork(&Prepare, &Parent, &Child); }
  static void Prepare() { Get().mutex_.lock(); }
  static void Parent() { Get().mutex_.unlock(); }
  static void Child() {
    ForkRegistry& r = Get();
    for (int* fd : r.fds_) {
      // Closing our copy leaves the parent's lock alone (the lock ends with the last copy);
      // an explicit unlock would end it for the parent as well.
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    r.mutex_.unlock();
  }

  std::mutex mutex_;     // guards fds_ and the descriptors they point to
  std::set<int*> fds_;
};

std::string PathOf(const std::string& posixName) { return kObjectDirectory + posixName; }

// Opens the lock file `posixName`; creates it when `create` (exclusively when `exclusive`).
// Not open on failure (errno).
UniqueFd OpenLockFile(const std::string& posixName, bool create, bool exclusive, bool* isNew) {
  *isNew = false;
  if (exclusive) {
    UniqueFd fd(shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOpenMode));
    *isNew = static_cast<bool>(fd);
    return fd;
  }
  for (;;) {
    if (create) {
      UniqueFd fd(shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOpenMode));
      if (fd) {
        *isNew = true;
        return fd;
      }
      if (errno != EEXIST) return fd;
    }
    UniqueFd fd(shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd || errno != ENOENT || !create) return fd;
    // Removed between the two calls by its holder: try again.
  }
}

}  // namespace

LivenessLock::LivenessLock(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

namespace {

// Opens and locks; the registry's mutex is held by the caller. Not open on failure.
UniqueFd AcquireLocked(const std::string& posixName, bool exclusive, int* error) {
  for (;;) {
    bool isNew = false;
    UniqueFd fd = OpenLockFile(posixName, true, exclusive, &isNew);
    if (!fd) {
      *error = LastError();
      return fd;
    }
    if (isNew) fchmod(fd.Get(), kOpenMode);  // not subject to the umask; best effort
    struct flock lock = WholeFile(F_WRLCK);
    if (FcntlRetry(fd.Get(), F_OFD_SETLK, &lock) == -1) {
      const int err = LastError();
      *error = (err == EAGAIN || err == EACCES) ? EWOULDBLOCK : err;
      return UniqueFd();
    }
    struct stat st {};
    if (fstat(fd.Get(), &st) == -1) {
      *error = LastError();
      return UniqueFd();
    }
    if (st.st_nlink > 0) return fd;
    // Its holder removed the name after we opened it: the lock we got guards nothing.
    fd.Reset();
    if (exclusive) {
      *error = ENOENT;
      return UniqueFd();
    }
  }
}

}  // namespace

std::unique_ptr<LivenessLock> LivenessLock::Take(const std::string& name, bool exclusive,
                                                 int* error) {
  int dummy = 0;
  if (error == nullptr) error = &dummy;
  *error = 0;
  ForkRegistry& registry = ForkRegistry::Get();
  std::lock_guard<std::mutex> guard(registry.Mutex());
  UniqueFd fd = AcquireLocked(PosixObjectName(name), exclusive, error);
  if (!fd) return nullptr;
  // Released only once the object is allocated (the allocation comes before the arguments).
  std::unique_ptr<LivenessLock> lock(new LivenessLock(name, fd.Release()));
  registry.AddLocked(&lock->fd_);
  return lock;
}

std::unique_ptr<LivenessLock> LivenessLock::TryAcquire(const std::string& name, int* error) {
  return Take(name, false, error);
}

std::unique_ptr<LivenessLock> LivenessLock::Create(const std::string& name, int* error) {
  return Take(name, true, error);
}

LivenessLock::~LivenessLock() {
  ForkRegistry& registry = ForkRegistry::Get();
  std::lock_guard<std::mutex> guard(registry.Mutex());
  registry.RemoveLocked(&fd_);
  if (fd_ < 0) return;  // inert: a fork's child
  // The name goes while the lock is still held, so nobody locks a file about to vanish.
  shm_unlink(PosixObjectName(name_).c_str());
  close(fd_);
  fd_ = -1;
}

bool LivenessLock::Owned() const {
  std::lock_guard<std::mutex> guard(ForkRegistry::Get().Mutex());
  return fd_ >= 0;
}

bool LivenessLock::Rename(const std::string& newName, int* error) {
  int dummy = 0;
  if (error == nullptr) error = &dummy;
  *error = 0;
  std::lock_guard<std::mutex> guard(ForkRegistry::Get().Mutex());
  if (fd_ < 0) {
    *error = EBADF;
    return false;
  }
  const std::string from = PathOf(PosixObjectName(name_));
  const std::string to = PathOf(PosixObjectName(newName));
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    *error = LastError();
    return false;
  }
  name_ = newName;
  return true;
}

bool LivenessLock::IsHeld(const std::string& name) {
  bool isNew = false;
  UniqueFd fd = OpenLockFile(PosixObjectName(name), false, false, &isNew);
  if (!fd) return errno != ENOENT;
  struct flock lock = WholeFile(F_WRLCK);
  const int rc = FcntlRetry(fd.Get(), F_OFD_GETLK, &lock);
  fd.Reset();  // held no lock: closing ends nobody's
  return rc == -1 || lock.l_type != F_UNLCK;
}

std::vector<std::string> LivenessLock::List(const std::string& prefix) {
  std::vector<std::string> names;
  const std::string filePrefix = PosixObjectName(prefix).substr(1);  // without the "/"
  DIR* dir = opendir(kObjectDirectory);
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.size() > filePrefix.size() && file.compare(0, filePrefix.size(), filePrefix) == 0) {
      names.push_back(prefix + file.substr(filePrefix.size()));
    }
  }
  closedir(dir);
  return names;
}

bool LivenessLock::Remove(const std::string& name) {
  return shm_unlink(PosixObjectName(name).c_str()) == 0;
}

}  // namespace plat
