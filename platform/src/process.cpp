#include "plat/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fenv.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

#include "plat/tick.h"
#include "plat/unique_fd.h"
#include "plat/version_info.h"
#include "termination_signal_set.h"

extern char** environ;

namespace plat {
namespace {

constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kPathVariable = "PATH";
constexpr uint32_t kReapPollMs = 1;
constexpr mode_t kErrorFileMode = 0600;
constexpr uint32_t kStartReportMs = 5000;  // for the report of a start
constexpr uint32_t kStopCheckMs = 50;      // a wait for a program checks its stop this often
constexpr const char* kElevator = "pkexec";
constexpr const char* kDesktopOpener = "xdg-open";

// Sends errno of a failed step to the waiting caller. A short or failed write leaves the caller
// with EIO or its time-out, which is all it could learn anyway.
void ReportErrno(int reportPipe, int error) { (void)!write(reportPipe, &error, sizeof error); }

// Runs in the copy of the caller that fork made: only async-signal-safe calls. Never returns.
// `workDir` (when not null) becomes the program's working directory; `keepFd` (when not -1)
// stays open in the program (under another number).
[[noreturn]] void ExecDetached(char* const argv[], const char* errorFile, const char* workDir,
                               int keepFd, int reportPipe) {
  const pid_t program = fork();
  if (program != 0) {
    if (program < 0) ReportErrno(reportPipe, errno);
    _exit(0);  // the program, if any, is orphaned: the init process reaps it
  }
  setsid();  // away from the caller's terminal and its signals
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A program living on its own keeps no descriptor of the caller (nor its output pipes open).
  const int null = open(kNullDevice, O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  if (errorFile != nullptr) {
    const int log = open(errorFile, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, kErrorFileMode);
    if (log >= 0) {
      dup2(log, STDERR_FILENO);
      if (log != STDERR_FILENO) close(log);
    }
  }
  close_range(STDERR_FILENO + 1, ~0u, CLOSE_RANGE_CLOEXEC);  // reportPipe stays until exec
  if (keepFd >= 0 && fcntl(keepFd, F_DUPFD, STDERR_FILENO + 1) < 0) {
    ReportErrno(reportPipe, errno);
    _exit(127);
  }
  if (workDir != nullptr && chdir(workDir) != 0) {
    ReportErrno(reportPipe, errno);
    _exit(127);
  }
  execve(argv[0], argv, environ);
  ReportErrno(reportPipe, errno);
  _exit(127);
}

// Milliseconds left of `timeoutMs` since `start`, as poll takes them.
int MsLeft(uint32_t start, uint32_t timeoutMs) {
  const uint32_t spent = GetTickCount() - start;
  if (spent >= timeoutMs) return 0;
  return static_cast<int>(std::min<uint32_t>(timeoutMs - spent, INT_MAX));
}

}  // namespace

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

bool ProcessExists(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string ModulePath(const void* address) {
  Dl_info info{};
  if (!address || dladdr(address, &info) == 0 || !info.dli_fname) return "";
  return info.dli_fname;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsExistingFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// The first `<dir>/<name>` over the directories of PATH for which `fits` holds.
std::string SearchPath(const std::string& name, bool (*fits)(const std::string&)) {
  const char* pathVar = std::getenv(kPathVariable);
  if (!pathVar) return "";
  const std::string path = pathVar;
  size_t begin = 0;
  for (;;) {
    const size_t end = path.find(':', begin);
    const std::string_view entry =
        std::string_view(path).substr(begin, end == std::string::npos ? end : end - begin);
    // An empty entry names the current directory.
    std::string candidate(entry.empty() ? std::string_view(".") : entry);
    candidate.append("/").append(name);
    if (fits(candidate)) return candidate;
    if (end == std::string::npos) return "";
    begin = end + 1;
  }
}

// The current directory; "" when it cannot be named (removed, or too long).
std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  return getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : "";
}

}  // namespace

std::string ProgramFolder() {
  const std::string program = ModuleFileName();
  const size_t slash = program.find_last_of('/');
  return slash == std::string::npos ? "" : program.substr(0, slash);
}

std::string FindProgramOnPath(const std::string& name) { return SearchPath(name, IsExecutableFile); }

std::string ResolveProgramPath(const std::string& path) {
  if (path.empty()) return "";
  if (path.find('/') != std::string::npos) {
    if (path.front() == '/') return path;
    const std::string current = CurrentDirectory();
    return current.empty() ? path : current + "/" + path;
  }
  for (const std::string& folder : {ProgramFolder(), CurrentDirectory()}) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + path;
    if (IsExistingFile(candidate)) return candidate;
  }
  const std::string onPath = SearchPath(path, IsExistingFile);
  // An entry relative to the current directory is made absolute, as a path with a folder is.
  return onPath.empty() || onPath.front() == '/' ? onPath : ResolveProgramPath(onPath);
}

namespace {

// Starts argv[0] with `args` as StartDetachedProgram describes; see there for the results.
bool SpawnDetached(const std::vector<std::string>& args, const std::string& workDir,
                   int keepFd, uint32_t timeoutMs, int* error, const std::string& errorFile) {
  UniqueFd readEnd;
  UniqueFd writeEnd;
  if (!MakePipe(&readEnd, &writeEnd, 0, error)) return false;
  // Built before fork: the child may not allocate.
  std::vector<std::vector<char>> texts;
  for (const std::string& arg : args) {
    texts.emplace_back(arg.begin(), arg.end());
    texts.back().push_back('\0');
  }
  std::vector<char*> argv;
  for (auto& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  const char* const errorFileName = errorFile.empty() ? nullptr : errorFile.c_str();
  const char* const workDirName = workDir.empty() ? nullptr : workDir.c_str();

  const pid_t child = fork();
  if (child == 0) {
    readEnd.Reset();
    // Never returns: no destructor runs here.
    ExecDetached(argv.data(), errorFileName, workDirName, keepFd, writeEnd.Get());
  }
  const int forkError = errno;
  writeEnd.Reset();
  if (child < 0) {
    *error = forkError;
    return false;
  }

  // The intermediate process exits right after its fork; reap it.
  const uint32_t start = GetTickCount();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (TickElapsed(start, timeoutMs)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    Sleep(kReapPollMs);
  }

  // The pipe closes without data when the exec worked (close-on-exec); else it holds errno.
  int execError = 0;
  for (;;) {
    pollfd p{readEnd.Get(), POLLIN, 0};
    const int ready = poll(&p, 1, MsLeft(start, timeoutMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      execError = ETIMEDOUT;
      break;
    }
    const ssize_t n = read(readEnd.Get(), &execError, sizeof execError);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      execError = 0;  // end of file: exec'd
    else if (n != static_cast<ssize_t>(sizeof execError))
      execError = EIO;
    break;
  }
  *error = execError;
  return execError == 0;
}

}  // namespace

bool StartDetachedProgram(const std::string& path, uint32_t timeoutMs, int* error,
                          const std::string& errorFile) {
  return SpawnDetached({path}, "", -1, timeoutMs, error, errorFile);
}

bool RunProgramAndWait(const std::vector<std::string>& args, const std::string& workDir,
                       uint32_t waitMs, const std::function<bool()>& stop, int* error,
                       bool* ended) {
  *ended = false;
  if (args.empty()) {
    *error = EINVAL;
    return false;
  }
  // The program holds the write end for its life: the end of the pipe is the end of the
  // program (or of the last process it handed the descriptor to).
  UniqueFd aliveRead;
  UniqueFd aliveWrite;
  if (!MakePipe(&aliveRead, &aliveWrite, 0, error)) return false;
  if (!SpawnDetached(args, workDir, aliveWrite.Get(), kStartReportMs, error, "")) return false;
  aliveWrite.Reset();
  const uint32_t start = GetTickCount();
  for (;;) {
    if (stop && stop()) return true;
    const int slice = std::min(MsLeft(start, waitMs), static_cast<int>(kStopCheckMs));
    pollfd p{aliveRead.Get(), POLLIN, 0};
    const int ready = poll(&p, 1, slice);
    if (ready > 0) {
      *ended = true;
      return true;
    }
    if (ready < 0 && errno != EINTR) return true;
    if (TickElapsed(start, waitMs)) return true;
  }
}

bool StartElevatedProgram(const std::vector<std::string>& args, const std::string& workDir,
                          int* error) {
  const std::string elevator = FindProgramOnPath(kElevator);
  if (elevator.empty()) {
    *error = ENOENT;
    return false;
  }
  std::vector<std::string> all{elevator};
  all.insert(all.end(), args.begin(), args.end());
  return SpawnDetached(all, workDir, -1, kStartReportMs, error, "");
}

bool OpenFileWithDesktop(const std::string& path, int* error) {
  if (path.empty()) {
    *error = EINVAL;
    return false;
  }
  const std::string opener = FindProgramOnPath(kDesktopOpener);
  if (opener.empty()) {
    *error = ENOENT;
    return false;
  }
  // A relative path goes as "./<path>": never an option ("-x"), nor a URL to the opener ("a:b").
  const std::string target = path.front() == '/' ? path : "./" + path;
  return SpawnDetached({opener, target}, "", -1, kStartReportMs, error, "");
}

void MaskFloatingPointExceptions() { fedisableexcept(FE_ALL_EXCEPT); }

struct TerminationSignalHold::Mask {
  sigset_t set;
};

TerminationSignalHold::TerminationSignalHold() : previous_(std::make_unique<Mask>()) {
  sigset_t hold;
  sigemptyset(&hold);
  for (const int s : kTerminationSignals) sigaddset(&hold, s);
  pthread_sigmask(SIG_BLOCK, &hold, &previous_->set);
}

TerminationSignalHold::~TerminationSignalHold() {
  pthread_sigmask(SIG_SETMASK, &previous_->set, nullptr);
}

namespace {

std::atomic<uint32_t> gForkGeneration{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the fork handler must not block");

// Runs in the child right after fork(), where only async-signal-safe work is sound.
void OnForkInChild() { gForkGeneration.fetch_add(1, std::memory_order_relaxed); }

bool RegisterForkHandler() { return pthread_atfork(nullptr, nullptr, OnForkInChild) == 0; }

// Registered when the code is loaded, so a fork before the first call counts too.
const bool gForkHandlerRegistered = RegisterForkHandler();

}  // namespace

uint32_t ForkGeneration() {
  (void)gForkHandlerRegistered;
  return gForkGeneration.load(std::memory_order_relaxed);
}

}  // namespace plat
