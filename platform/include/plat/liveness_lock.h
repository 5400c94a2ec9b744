// Liveness of a process that holds something shared: a named lock that its holder keeps for as
// long as it lives, and that others can test without taking it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace plat {

// A named lock file (named like shared memory, see PosixObjectName) on which its holder keeps
// an exclusive lock. The kernel drops the lock with the holder's last descriptor, so a holder
// that dies in any way (SIGKILL, a crash) releases it at once, and a process id that is reused
// by a new process cannot make a dead holder look alive.
//
// The lock is an open-file-description lock: a test (IsHeld) never takes it, so a test cannot
// make a concurrent TryAcquire fail; the holder's own process sees its lock as held by another
// descriptor as well.
//
// Names: the file is created mode 0666 (processes of every user may test and take it). The
// holder removes the name when it releases the lock, while still holding it; an acquirer that
// locks a file whose name was removed meanwhile starts over with the current one. A holder that
// died leaves its file; the next acquirer simply locks it.
//
// fork(): a child does not hold its parent's locks. Right after fork() the child closes its
// copies of the descriptors (without unlocking, which would end the parent's lock) and its
// LivenessLock objects turn inert: their destructor neither removes the name nor touches the
// lock. exec() drops them too (close-on-exec).
//
// Threads: each object may be used by one thread at a time; the static members by any thread.
// No call blocks: every lock operation is non-blocking, EINTR is retried.
class LivenessLock {
 public:
  // Takes the lock `name`, creating its file when missing. Null when it cannot: *error is
  // EWOULDBLOCK when another descriptor (of any process, this one included) holds the lock,
  // else the errno of the failing call.
  static std::unique_ptr<LivenessLock> TryAcquire(const std::string& name, int* error);
  // Creates the file `name`, which must not exist (EEXIST otherwise), and takes its lock.
  static std::unique_ptr<LivenessLock> Create(const std::string& name, int* error);

  // True while a live process holds the lock `name`. A missing file is not held. A file that
  // cannot be tested (an error other than a missing name) counts as held: the caller then
  // leaves alone what the holder might still use.
  static bool IsHeld(const std::string& name);
  // The names of the lock files that begin with `prefix` (compared in their POSIX form), in no
  // particular order, as `prefix` + the rest of the file name. Empty when there are none or the
  // directory cannot be read. Meant for prefixes whose continuation holds only letters, digits,
  // "." and "-".
  static std::vector<std::string> List(const std::string& prefix);
  // Removes the name of a lock whose holder is gone. True when this call removed it. Never
  // call it for a lock that a live process may hold.
  static bool Remove(const std::string& name);

  // Removes the name (when this process still owns the lock) and releases the lock.
  ~LivenessLock();
  LivenessLock(const LivenessLock&) = delete;
  LivenessLock& operator=(const LivenessLock&) = delete;

  // Gives the held lock the name `newName` (an existing file of that name is replaced). The
  // lock stays held throughout. False with *error set when it fails; the old name then stays.
  bool Rename(const std::string& newName, int* error);
  const std::string& Name() const { return name_; }
  // False in a child made by fork(): the object is inert there.
  bool Owned() const;

 private:
  LivenessLock(std::string name, int fd);
  static std::unique_ptr<LivenessLock> Take(const std::string& name, bool exclusive, int* error);
  std::string name_;
  int fd_;  // -1 once a fork has made the object inert; guarded by the fork registry
};

}  // namespace plat
