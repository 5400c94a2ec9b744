// What the library does when it is loaded and unloaded beside its connections: start the
// server when none runs, and count the processes that have the library loaded.
#pragma once

#include <cstdint>
#include <string>

namespace dral {

// The server program's file name.
inline constexpr const char* kServerProgramName = "DRALServer";
// After starting the server, probe this often, this far apart, for it to come up.
inline constexpr int kServerStartPolls = 50;
inline constexpr uint32_t kServerStartPollMs = 100;
// A started program that has not exec'd (or failed to) by then is taken as failed.
inline constexpr int kSpawnTimeoutMs = 5000;

// Starts the server program when no server runs, then waits (at most kServerStartPolls x
// kServerStartPollMs) for it to come up. Returns at once when one runs, when no program is
// found or when it cannot be started. `anchor` is an address inside the library, whose
// directory is searched before PATH. Never throws.
void StartServer(const void* anchor);

// Adds (+1) or subtracts (-1) one from the channel header's AttachCount under the channel
// mutex; a count that would go below 0 stays 0. Does nothing when no channel block exists (no
// server and no connection: nobody reads the count) or the mutex times out. Never throws.
void AdjustAttachCount(int delta);

// Where the server program is: `<directory of anchor's module>/DRALServer` when that is an
// executable file, else the first executable `DRALServer` in PATH; "" when none.
std::string FindServerProgram(const void* anchor);

// Starts `path` (no arguments, this process's environment) as a process of its own: in a new
// session and not a child of this process, so nobody needs to reap it. True when it was
// exec'd; false with *error = errno of the failing step otherwise.
bool SpawnDetached(const std::string& path, int* error);

}  // namespace dral
