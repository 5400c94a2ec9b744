// Names of named kernel objects (shared memory, mutexes, events).
#pragma once

#include <string>

namespace plat {

// Turns a name in the "Global\X" / "Local\X" / "X" form into the POSIX object name used for it:
// "/" + $DRAL_IPC_NAMESPACE (when set) + the name with "\" replaced by "." and blanks by "_"
// (a "/", which a POSIX object name cannot hold past its first character, also becomes ".").
// A "Local\" name also carries the real user id ("Local.<uid>.X"), so that it is private to
// the user. The namespace lets tests run in parallel without sharing objects. The environment
// is read at each call; any thread may call it.
std::string PosixObjectName(const std::string& name);

}  // namespace plat
