#include "client/ServerLaunch.h"

#include <string>

#include "channel/HuxIPC.h"
#include "plat/debug.h"
#include "plat/process.h"
#include "plat/tick.h"

namespace dral {
namespace {

constexpr const char* kSpawnFailedText = "Cannot start the server program: ";

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string FindServerProgram(const void* anchor) {
  const std::string module = plat::ModulePath(anchor);
  if (!module.empty()) {
    const std::string beside = DirectoryOf(module) + "/" + kServerProgramName;
    if (plat::IsExecutableFile(beside)) return beside;
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
    if (!plat::StartDetachedProgram(program, kSpawnTimeoutMs, &error)) {
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
