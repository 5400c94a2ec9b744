#include "plat/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "plat/object_name.h"
#include "plat/unique_fd.h"

namespace plat {
namespace {

constexpr mode_t kOpenMode = 0666;   // stands for the Windows null DACL
constexpr mode_t kOwnerMode = 0600;  // stands for default security
constexpr mode_t kOthersBits = 0077;
constexpr const char* kLockSuffix = ".lock";

mode_t ModeFor(ObjectAccess access) {
  return access == ObjectAccess::OwnerOnly ? kOwnerMode : kOpenMode;
}

bool OwnedByUs(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_uid == geteuid();
}

int LastError() { return errno != 0 ? errno : EIO; }

int FlockRetry(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// Opens `posixName`, creating it when missing. *isNew tells whether this call made the inode
// (only then is this process its owner and may change its mode). Not open on failure (errno).
UniqueFd OpenOrCreate(const std::string& posixName, bool* isNew, mode_t mode) {
  for (;;) {
    UniqueFd fd(shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd) {
      *isNew = true;
      return fd;
    }
    if (errno != EEXIST) return fd;
    fd = UniqueFd(shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd) {
      *isNew = false;
      return fd;
    }
    if (errno != ENOENT) return fd;
    // Removed between the two calls by its last holder: try again.
  }
}

// Takes the creation lock of an object: an exclusive flock on the companion "<name>.lock",
// released when the returned descriptor closes. The last holder of an object removes the
// companion while holding its lock, so a waiter that obtains the lock on a companion no longer
// linked starts over with the current one. Not open on failure, with *error set.
UniqueFd AcquireCreationLock(const std::string& lockName, int* error, ObjectAccess access) {
  for (;;) {
    bool isNew = false;
    UniqueFd fd = OpenOrCreate(lockName, &isNew, ModeFor(access));
    if (!fd) {
      *error = LastError();
      return fd;
    }
    if (access == ObjectAccess::OwnerOnly) {
      // Checked before it is waited for, so another user's companion cannot hold us up; one of
      // ours left open by an earlier run is made private.
      if (!OwnedByUs(fd.Get()) || fchmod(fd.Get(), kOwnerMode) == -1) {
        *error = EACCES;
        return UniqueFd();
      }
    } else if (isNew) {
      fchmod(fd.Get(), kOpenMode);  // best effort: a foreign user then gets EACCES above
    }
    struct stat st {};
    if (FlockRetry(fd.Get(), LOCK_EX) == -1 || fstat(fd.Get(), &st) == -1) {
      *error = LastError();
      return UniqueFd();
    }
    if (st.st_nlink > 0) return fd;
  }
}

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, uint32_t size,
                                                 int* error) {
  return Open(name, size, error, Initializer());
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, uint32_t size,
                                                 int* error, const Initializer& initialize,
                                                 ObjectAccess access) {
  int dummy = 0;
  if (error == nullptr) error = &dummy;
  *error = 0;
  if (size == 0) {
    *error = EINVAL;
    return nullptr;
  }
  std::string posixName = PosixObjectName(name);
  const std::string lockName = posixName + kLockSuffix;

  const UniqueFd creationLock = AcquireCreationLock(lockName, error, access);
  if (!creationLock) return nullptr;

  const bool ownerOnly = access == ObjectAccess::OwnerOnly;
  bool isNew = false;
  bool created = false;
  void* view = MAP_FAILED;
  UniqueFd fd = OpenOrCreate(posixName, &isNew, ModeFor(access));
  int err = 0;
  if (!fd) {
    err = LastError();
  } else if (ownerOnly && !OwnedByUs(fd.Get())) {
    err = EACCES;  // another user's: neither cleared nor shared
  } else if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
    // No other holder: whatever the object holds is stale. Start from zero.
    created = true;
    if (ftruncate(fd.Get(), 0) == -1 || ftruncate(fd.Get(), size) == -1) {
      err = LastError();
    } else if (fchmod(fd.Get(), ModeFor(access)) == -1 &&
               (isNew || ownerOnly || errno != EPERM)) {
      // A left-over object of another user keeps that user's mode; it was opened read/write,
      // so its mode already lets us in. (An owner-only one is ours, checked above.)
      err = LastError();
    } else {
      view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
      if (view == MAP_FAILED) {
        err = LastError();
      } else if (initialize) {
        err = initialize(view);
      }
    }
    if (err == 0 && FlockRetry(fd.Get(), LOCK_SH) == -1) err = LastError();
  } else if (errno != EWOULDBLOCK) {
    err = LastError();
  } else {
    // Other holders exist; none holds the lock exclusively outside the creation lock, which we
    // hold, so this does not block for long.
    struct stat st {};
    if (FlockRetry(fd.Get(), LOCK_SH) == -1 || fstat(fd.Get(), &st) == -1) {
      err = LastError();
    } else if (ownerOnly && (st.st_mode & kOthersBits) != 0) {
      err = EACCES;  // held by others, and open to other users: not private
    } else if (st.st_size < static_cast<off_t>(size) && ftruncate(fd.Get(), size) == -1) {
      err = LastError();
    } else {
      view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
      if (view == MAP_FAILED) err = LastError();
    }
  }

  if (err != 0) {
    if (view != MAP_FAILED) munmap(view, size);
    if (created) {
      // Nobody else holds it: do not leave a half-made object behind.
      shm_unlink(posixName.c_str());
      shm_unlink(lockName.c_str());
    }
    *error = err;
    return nullptr;  // closing the descriptors releases the creation lock last
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(std::move(posixName), std::move(fd), view, size, created, access));
}

SharedMemory::SharedMemory(std::string posixName, UniqueFd fd, void* view, uint32_t size,
                           bool created, ObjectAccess access)
    : posixName_(std::move(posixName)),
      opener_(static_cast<uint32_t>(getpid())),
      fd_(std::move(fd)),
      view_(view),
      size_(size),
      created_(created),
      access_(access) {}

SharedMemory::~SharedMemory() {
  munmap(view_, size_);
  if (static_cast<uint32_t>(getpid()) != opener_) {
    // A copy inherited through fork(): the holder lock is the opener's (see the header).
    fd_.Reset();
    return;
  }
  const std::string lockName = posixName_ + kLockSuffix;
  int error = 0;
  const UniqueFd creationLock = AcquireCreationLock(lockName, &error, access_);
  // The last holder removes the names. (A failed conversion drops our shared lock, which is
  // harmless: the descriptor closes next.)
  if (creationLock && flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
    shm_unlink(posixName_.c_str());
    shm_unlink(lockName.c_str());
  }
  fd_.Reset();  // before the creation lock is released
}

}  // namespace plat
