// What the library does when it is loaded, beside opening its connections: start the server
// when none runs. (Counting the processes that have it loaded is the channel's
// TAttachCount.)
#pragma once

#include <cstdint>
#include <string>

namespace dral {

// The server program's file name.
inline constexpr const char* kServerProgramName = "DRALServer";
// With DRAL_DEBUG set (and naming no file), the started server's standard error is appended to
// this file in the application's current directory.
inline constexpr const char* kServerDebugFileName = "DRALServer-debug.txt";
// After starting the server, probe this often, this far apart, for it to come up.
inline constexpr int kServerStartPolls = 50;
inline constexpr uint32_t kServerStartPollMs = 100;
// A started program that has not exec'd (or failed to) by then is taken as failed.
inline constexpr uint32_t kSpawnTimeoutMs = 5000;

// Starts the server program when no server runs, then waits (at most kServerStartPolls x
// kServerStartPollMs) for it to come up. Returns at once when one runs, when no program is
// found or when it cannot be started. `anchor` is an address inside the library, whose
// directory is searched before PATH. Never throws.
void StartServer(const void* anchor);

// Where the server program is: the first executable `DRALServer` beside anchor's module (the
// build folder), in the install's program folder seen from that module's folder (lib/ ->
// bin/), or in PATH; "" when none.
std::string FindServerProgram(const void* anchor);

}  // namespace dral
