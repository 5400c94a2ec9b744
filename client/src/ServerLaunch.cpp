// Process start and module lookup are the only Linux calls the library makes itself.
#include "client/ServerLaunch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "channel/HuxIPC.h"
#include "classlib/exception.h"
#include "plat/debug.h"
#include "plat/tick.h"

extern char** environ;

namespace dral {
namespace {

// The attach count is reached through a view of the header's first bytes only.
constexpr uint32_t kAttachViewSize = offsetof(ChannelHeader, AttachCount) + sizeof(uint16_t);
// Counts above this are a decrement below zero (the count is unsigned 16-bit) and become 0.
constexpr uint16_t kAttachCountCeiling = 65000;
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kSpawnFailedText = "Cannot start the server program: ";

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Runs in the copy of this process that fork made: only async-signal-safe calls. Never returns.
[[noreturn]] void ExecDetached(char* const argv[], int errorPipe) {
  const pid_t server = fork();
  if (server != 0) {
    if (server < 0) {
      const int e = errno;
      (void)!write(errorPipe, &e, sizeof e);
    }
    _exit(0);  // the server, if any, is orphaned: the init process reaps it
  }
  setsid();  // away from this process's terminal and its signals
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A daemon keeps no descriptor of the application (nor its output pipes open).
  const int null = open(kNullDevice, O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  close_range(STDERR_FILENO + 1, ~0u, CLOSE_RANGE_CLOEXEC);  // errorPipe stays until exec
  execve(argv[0], argv, environ);
  const int e = errno;
  (void)!write(errorPipe, &e, sizeof e);
  _exit(127);
}

}  // namespace

std::string FindServerProgram(const void* anchor) {
  Dl_info info{};
  if (anchor && dladdr(anchor, &info) != 0 && info.dli_fname && info.dli_fname[0] != '\0') {
    const std::string beside = DirectoryOf(info.dli_fname) + "/" + kServerProgramName;
    if (IsExecutableFile(beside)) return beside;
  }
  const char* pathVar = std::getenv("PATH");
  if (!pathVar) return "";
  const std::string path = pathVar;
  size_t begin = 0;
  for (;;) {
    const size_t end = path.find(':', begin);
    std::string dir =
        path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (dir.empty()) dir = ".";  // an empty PATH entry names the current directory
    const std::string candidate = dir + "/" + kServerProgramName;
    if (IsExecutableFile(candidate)) return candidate;
    if (end == std::string::npos) return "";
    begin = end + 1;
  }
}

bool SpawnDetached(const std::string& path, int* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = errno;
    return false;
  }
  std::vector<char> file(path.begin(), path.end());
  file.push_back('\0');
  char* const argv[] = {file.data(), nullptr};

  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    ExecDetached(argv, fds[1]);
  }
  const int forkError = errno;
  close(fds[1]);
  if (child < 0) {
    close(fds[0]);
    *error = forkError;
    return false;
  }

  // The intermediate process exits right after its fork; reap it.
  const uint32_t start = plat::GetTickCount();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (plat::TickElapsed(start, kSpawnTimeoutMs)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    plat::Sleep(1);
  }

  // The pipe closes without data when the exec worked (close-on-exec); else it holds errno.
  int execError = 0;
  bool done = false;
  while (!done) {
    const uint32_t spent = plat::GetTickCount() - start;
    const int left = spent >= static_cast<uint32_t>(kSpawnTimeoutMs)
                         ? 0
                         : kSpawnTimeoutMs - static_cast<int>(spent);
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      execError = ETIMEDOUT;
      break;
    }
    const ssize_t n = read(fds[0], &execError, sizeof execError);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      execError = 0;  // EOF: exec'd
    else if (n != static_cast<ssize_t>(sizeof execError))
      execError = EIO;
    done = true;
  }
  close(fds[0]);
  *error = execError;
  return execError == 0;
}

void StartServer(const void* anchor) {
  try {
    uint32_t window = 0;
    if (IsServerRunning(window)) return;
    const std::string program = FindServerProgram(anchor);
    if (program.empty()) return;
    int error = 0;
    if (!SpawnDetached(program, &error)) {
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

void AdjustAttachCount(int delta) {
  try {
    // No block means no server and no connection: there is nobody to count for, and creating
    // a block here would leave one that a starting queue finds but does not initialise.
    const plat::SharedMemory::Initializer refuse = [](void*) { return ENOENT; };
    TIPCMem mem(kChannelName, kAttachViewSize, refuse);
    int error = 0;
    auto mutex = plat::NamedMutex::Open(kChannelMutexName, &error);
    if (!mutex || !plat::Owned(mutex->Lock(kChannelLockTimeoutMs))) return;
    auto* count = reinterpret_cast<Shared<uint16_t>*>(static_cast<uint8_t*>(mem.View()) +
                                                      offsetof(ChannelHeader, AttachCount));
    uint16_t old = count->load(std::memory_order_relaxed);
    uint16_t next = 0;
    do {
      next = static_cast<uint16_t>(old + delta);
      if (next > kAttachCountCeiling) next = 0;
    } while (!count->compare_exchange_weak(old, next, std::memory_order_relaxed));
    mutex->Unlock();
  } catch (...) {
    // The count is advisory (the server's auto-close); the library works without it.
  }
}

}  // namespace dral
