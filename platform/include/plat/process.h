// Processes: this process's id, whether another exists, where loaded code lives, finding a
// program on PATH and starting one that lives on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// The calling process's id. Any thread may call it.
uint32_t CurrentProcessId();

// True when a process with id `pid` exists, also one of another user that this process may
// not signal. Ids 0 and above INT_MAX name no single process (to the kernel they stand for a
// process group or for every process) and count as none. An id may be reused by a new process
// after its owner ended; the answer is a snapshot. Any thread may call it; it does not block.
bool ProcessExists(uint32_t pid);

// Masks every floating-point exception of the calling thread (the Linux default; a host
// application may have unmasked some). Threads created afterwards inherit the setting.
void MaskFloatingPointExceptions();

// The path of the loaded module (shared object or program) whose mapped code or data contains
// `address`, as the dynamic loader recorded it when it loaded the module (for the program this
// may be relative to the directory it was started from). "" for a null address or one that is
// in no module (heap, stack). Any thread may call it.
std::string ModulePath(const void* address);

// The folder of the running program's file ("" when it cannot be told). Any thread may call it.
std::string ProgramFolder();

// True when `path` names a regular file (symbolic links followed) that this process may
// execute. Any thread may call it.
bool IsExecutableFile(const std::string& path);

// True when `path` names a regular file (symbolic links followed); false for a directory, a
// device or a missing path. Any thread may call it.
bool IsExistingFile(const std::string& path);

// The first `<dir>/<name>` over the directories of the environment variable PATH, in order,
// that is an executable file; an empty entry stands for the current directory. "" when PATH is
// unset or no entry holds one. Reads the environment: do not call it while another thread may
// change the environment.
std::string FindProgramOnPath(const std::string& name);

// The file to start for the program `path`, found as a program named in a setting is looked
// for: a path with a folder ("tools/setup", "/opt/x/setup") is taken from the current directory
// and returned absolute, so that a change of directory for the start cannot move it; a bare
// name is the first existing file of that name in the folder of this process's program, then
// in the current directory, then in the folders of PATH (an empty entry standing for the
// current directory). "" for an empty path, or a bare name found nowhere. A file that exists
// but may not be executed is returned all the same: its start then fails with EACCES. Reads
// the current directory and the environment: do not call it while another thread changes
// either.
std::string ResolveProgramPath(const std::string& path);

// Starts the program `path` (no arguments, this process's environment) so that it lives on its
// own: it is not a child of this process (an intermediate process forks it and exits, and this
// call reaps the intermediate one), runs in a session of its own (no controlling terminal, no
// signals of this process's group), with no signal blocked, with standard input, output and
// error on /dev/null and with no other descriptor of this process. Nobody needs to wait for it.
// With `errorFile` not empty, standard error is appended to that file instead (created with
// mode 0600 when missing; /dev/null when it cannot be opened).
//
// Returns true when the program was exec'd. False sets *error to the errno of the step that
// failed (pipe, fork, exec; ENOENT or EACCES for a path that cannot be run), to ETIMEDOUT when
// neither success nor failure was reported within `timeoutMs`, or to EIO for a garbled report.
// An intermediate process that has not ended after `timeoutMs` is killed and reaped.
//
// Blocks for at most about `timeoutMs` (normally for the time one fork and one exec take);
// EINTR does not end the wait. Any thread may call it, also while other threads run: the new
// processes run only async-signal-safe calls until exec. Descriptors that other threads open
// without close-on-exec meanwhile are closed in the program all the same.
bool StartDetachedProgram(const std::string& path, uint32_t timeoutMs, int* error,
                          const std::string& errorFile = "");

// Starts args[0] with the arguments args[1..] like StartDetachedProgram (own session, standard
// streams on /dev/null, no descriptor of this process), in the working directory `workDir`
// (this process's own when empty), and waits for it to end: at most `waitMs`, or until `stop`
// (when set; asked every few tens of milliseconds) returns true. Returns whether it was
// started (false: *error = errno of the step that failed, as for StartDetachedProgram); *ended
// tells whether its end was seen. A program still running when the wait ends runs on by
// itself; nobody is left to reap it. Blocks the caller for the wait.
bool RunProgramAndWait(const std::vector<std::string>& args, const std::string& workDir,
                       uint32_t waitMs, const std::function<bool()>& stop, int* error,
                       bool* ended);

// Starts args[0] with args[1..] with administrator rights through the system's elevation
// prompt (pkexec, found on PATH), on its own and without waiting for it. Returns whether the
// prompt program was started; false sets *error (ENOENT when there is no pkexec).
bool StartElevatedProgram(const std::vector<std::string>& args, const std::string& workDir,
                          int* error);

// Opens the file `path` with the desktop's default application for its type (xdg-open, found on
// PATH), on its own and without waiting for it. The path is handed over as one argument, never
// through a shell; a relative path is passed as "./<path>" so that it is never taken for an
// option ("-x") nor for a URL ("help:x"). Returns whether the opener was started; false sets
// *error (ENOENT when there is no xdg-open, EINVAL for an empty path). Blocks for one fork and
// exec, at most a few seconds. Any thread may call it.
bool OpenFileWithDesktop(const std::string& path, int* error);

// Holds back the termination signals (SIGTERM, SIGINT, SIGHUP) in the calling thread, and in
// the threads it creates meanwhile, for the object's lifetime; the destructor restores the
// thread's previous mask, and a signal that came meanwhile is delivered then. For a program's
// start: a signal that arrives before its handlers are in place waits for them instead of
// ending the program uncleanly. Construct and destroy it on the same thread.
class TerminationSignalHold {
 public:
  TerminationSignalHold();
  ~TerminationSignalHold();
  TerminationSignalHold(const TerminationSignalHold&) = delete;
  TerminationSignalHold& operator=(const TerminationSignalHold&) = delete;

 private:
  struct Mask;
  std::unique_ptr<Mask> previous_;
};

// A number that changes in every child that fork() makes of this process (a fork handler adds
// 1 in the child; nothing changes in the parent). An object that notes it when it is made can
// tell later, in a child, that it was inherited: a copy of what belongs to the parent (which
// still uses it), not the child's own. The handler is registered by the first call (or at load
// of the code that holds this function): call it once before any fork that is to count. Any
// thread may call it; it does not block.
uint32_t ForkGeneration();

}  // namespace plat
