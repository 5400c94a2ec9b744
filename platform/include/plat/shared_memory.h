// Named shared memory whose lifetime is tied to the processes that hold it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "plat/unique_fd.h"

namespace plat {

// One mapping of a named shared-memory object.
//
// Lifetime: every holder keeps a shared lock (flock LOCK_SH) on the object for as long as it is
// mapped. An opener that finds no other holder (it can take the lock exclusively) is the
// creator: the object is cleared to zero and `Created()` is true, even when a stale object of a
// crashed process was still present. So a block whose every holder has gone, crashed included,
// is fresh for the next opener. The last holder to close removes the name, as a Windows object
// ends with its last handle.
//
// Creation race: opening and closing take a short exclusive creation lock (a companion object
// "<name>.lock"), so of two first openers exactly one reports `Created()` and the other sees
// the initialised object. The creation lock is held only for the few calls of Open and of the
// destructor; a holder that crashes releases it with its descriptors.
//
// Size: the object is grown (zero-filled) to `size` when it is smaller; it never shrinks while
// held; a larger object is mapped only for its first `size` bytes.
//
// Access: by default the creator makes the object (and its companion) mode 0666 (fchmod, not
// subject to the umask) so that processes of every user can open it, as a Windows object with
// a null DACL. ObjectAccess::OwnerOnly stands for an object with default security: mode 0600,
// and an opener accepts only an object and companion that its own user owns and that no other
// user may open (one left by an earlier run of that user is made private by its creator), so a
// name another user took first fails with EACCES instead of being shared with that user.
//
// Thread safety: the object is immutable after Open; View() may be used from any thread. Every
// Open, also in one process, is a holder of its own. The descriptor is close-on-exec.
//
// fork(): a child shares the parent's holder lock (flock locks belong to the open file
// description, which fork shares). A change of that lock in the child would be the parent's:
// a conversion to exclusive by the child could succeed as "last holder" and remove the name
// under the parent, and a failed one would drop the parent's shared lock. So the destructor run
// in any process other than the one that opened the object only unmaps and closes its copy of
// the descriptor: no lock operation, no removal.
//
// Waits: Open and the destructor may wait for the creation lock while another process runs its
// own Open or destructor (a few system calls); EINTR does not end that wait.
enum class ObjectAccess {
  AllUsers,   // mode 0666
  OwnerOnly,  // mode 0600, owned by the opener's user
};

class SharedMemory {
 public:
  // Called by the creator on the zeroed view before any other opener can map the object (under
  // the creation lock). Returns 0, or an errno value that makes Open fail.
  using Initializer = std::function<int(void* view)>;

  // Opens or creates the object `name` ("Global\X", "Local\X" or "X", see PosixObjectName)
  // and maps `size` bytes read/write. On failure returns null and sets *error to the errno of
  // the failing call (never 0): EACCES when an existing object may not be opened (a "Global\"
  // object of another user, say), EINVAL for size 0, EINVAL or ENAMETOOLONG (as the C library has it) for a too long name.
  static std::unique_ptr<SharedMemory> Open(const std::string& name, uint32_t size, int* error);
  static std::unique_ptr<SharedMemory> Open(const std::string& name, uint32_t size, int* error,
                                            const Initializer& initialize,
                                            ObjectAccess access = ObjectAccess::AllUsers);

  ~SharedMemory();  // unmaps, releases the holder lock, closes the descriptor
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  bool Created() const { return created_; }
  void* View() const { return view_; }
  uint32_t Size() const { return size_; }

 private:
  SharedMemory(std::string posixName, UniqueFd fd, void* view, uint32_t size, bool created,
               ObjectAccess access);
  std::string posixName_;
  uint32_t opener_;  // id of the process that opened it
  UniqueFd fd_;      // holds the shared flock that marks this process a holder
  void* view_;
  uint32_t size_;
  bool created_;
  ObjectAccess access_;
};

}  // namespace plat
