// The termination signals of a program (SIGTERM, SIGINT, SIGHUP) as a readable descriptor, so
// that an event loop ends the program in an orderly way instead of being killed mid-work.
#pragma once

#include <memory>

#include "plat/unique_fd.h"

namespace plat {

// While an object exists, the termination signals do not end the process: their handler only
// writes a byte to a non-blocking pipe whose read end Descriptor() is (async-signal-safe; a full
// pipe drops the byte, which loses nothing since one pending byte already tells). The handler is
// installed with SA_RESTART, so interrupted system calls of other threads resume. A signal held
// back by a TerminationSignalHold (process.h) while the object is opened reaches the handler
// when the hold ends.
//
// At most one object per process (the dispositions are process-wide): a second Open fails with
// EBUSY while the first lives. Create and destroy it on one thread (the main thread); the
// destructor restores the default dispositions first and then closes the pipe, so a signal that
// arrives during or after destruction ends the process as usual.
class TerminationSignals {
 public:
  // Installs the handler. Null with *error = errno when the pipe cannot be made, EBUSY when
  // another object exists.
  static std::unique_ptr<TerminationSignals> Open(int* error);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable (poll, a socket notifier) once a termination signal arrived. Owned by this object.
  int Descriptor() const { return readEnd_.Get(); }

  // Empties the pipe without blocking; true when at least one signal had arrived since the
  // last call. Only the thread that watches the descriptor calls it.
  bool Drain();

 private:
  explicit TerminationSignals(UniqueFd readEnd);
  UniqueFd readEnd_;
};

}  // namespace plat
