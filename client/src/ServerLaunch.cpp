#include "client/ServerLaunch.h"

#include <string>

#include "channel/HuxIPC.h"
#include "plat/debug.h"
#include "plat/process.h"
#include "plat/tick.h"

namespace dral {
namespace {

constexpr const char* kSpawnFailedText = "Cannot start the server program: ";

// The install's program folder seen from its library folder (lib -> ../bin), as configured,
// and as it is for the usual layout.
#ifndef DRAL_SERVER_DIR_FROM_LIBRARY_DIR
#define DRAL_SERVER_DIR_FROM_LIBRARY_DIR "../bin"
#endif
constexpr const char* kServerDirFromLibraryDir = DRAL_SERVER_DIR_FROM_LIBRARY_DIR;
constexpr const char* kServerDirFromLibDir = "../bin";

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string FindServerProgram(const void* anchor) {
  const std::string module = plat::ModulePath(anchor);
  if (!module.empty()) {
    const std::string dir = DirectoryOf(module);
    // Beside the library (the build folder), then where an install puts the program.
    for (const char* relative : {".", kServerDirFromLibraryDir, kServerDirFromLibDir}) {
      const std::string candidate = dir + "/" + relative + "/" + kServerProgramName;
      if (plat::IsExecutableFile(candidate)) return candidate;
    }
  }
  return plat::FindProgramOnPath(kServerProgramName);
}

void StartServer(const void* anchor) {
  try {
    uint32_t window = 0;
    if (IsServerRunning(window)) return;
    const std::string program = FindServerProgram(anchor);
    if (program.empty()) return;
    int error = 0;
    // With DRAL_DEBUG set the server's debug output is kept (it inherits DRAL_DEBUG).
    const std::string errorFile = plat::DebugOutputFile(kServerDebugFileName);
    if (!plat::StartDetachedProgram(program, kSpawnTimeoutMs, &error, errorFile)) {
      plat::OutputDebugString(kSpawnFailedText + program + " (" + std::to_string(error) + ")");
      return;
    }
    for (int attempt = 0; attempt < kServerStartPolls; ++attempt) {
      plat::Sleep(kServerStartPollMs);
      if (IsServerRunning(window)) return;
    }
  } catch (...) {
    // The library loads whether or not a server could be started.
  }
}

}  // namespace dral
