#include "links/WinSockThread.h"

#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

#include "classlib/Logger.h"
#include "classlib/Registry.h"
#include "plat/net_interface.h"
#include "plat/process.h"
#include "plat/tcp_socket.h"
#include "plat/tick.h"

namespace dral {
namespace {

using cls::DebugPrint;
using cls::DebugTrace;

constexpr const char* kSettingsKey = "\\SOFTWARE\\Trevik\\DRAL";
constexpr const char* kInitTool = "InitTool";
constexpr const char* kToolArgument = "/S";

std::string ReadToolPath() {
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (reg.OpenKeyReadOnly(kSettingsKey) && reg.ValueExists(kInitTool)) {
      std::string path = reg.ReadString(kInitTool);
      if (!path.empty()) return path;
    }
  } catch (const std::exception&) {
    // Unreadable: the tool by its name.
  }
  return kToolName;
}

// The folder part of a tool path; "" (this process's own directory) for a bare name.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// --- TWinSockRxThread ------------------------------------------------------------------------

TWinSockRxThread::TWinSockRxThread(int socket) : cls::TThread(true), Socket(socket) {}

TWinSockRxThread::~TWinSockRxThread() {
  Terminate();
  WaitFor();  // each receive waits at most kReceiveSliceMs
}

void TWinSockRxThread::Execute() {
  while (!Terminated() && !Ended.load()) {
    try {
      if (Socket < 0) {
        plat::Sleep(1);
        continue;
      }
      int error = 0;
      const int n = plat::TcpReceive(Socket, Buffer, kBufferSize, kReceiveSliceMs, &error);
      if (n == plat::kRecvNothing) continue;
      if (n <= 0) {
        Ended.store(true);  // the peer closed, or the connection failed
        break;
      }
      Handler.Call(Buffer, n);
      // The pace of the USB driver link: on a busy bus the next read takes every frame that
      // came meanwhile, instead of a read and a wake-up per frame. A full buffer is followed
      // at once.
      if (n < kBufferSize) plat::Sleep(kReadPauseMs);
    } catch (...) {
      // A handler that throws loses its block; the connection goes on.
    }
  }
}

// --- TWinSockThread --------------------------------------------------------------------------

TWinSockThread::TWinSockThread(bool createSuspended) : cls::TThread(true) {
  if (!createSuspended) Start();
}

TWinSockThread::~TWinSockThread() {
  Terminate();
  cancel_.store(true);
  WaitFor();  // an attempt gives up within kConnectSliceMs, the tool's wait within its slice
}

bool TWinSockThread::RequestConnect(uint32_t address, uint16_t port, bool setup) {
  const uint8_t state = state_.load();
  if (state != ConnIdle) {
    if (targetAddress_.load() == address && targetPort_.load() == port) return connected_.load();
    Disconnect();
  }
  targetAddress_.store(address);
  targetPort_.store(port);
  wantSetup_.store(setup);
  state_.store(ConnRequested);
  return connected_.load();
}

void TWinSockThread::Execute() {
  while (!Terminated()) {
    if (state_.load() == ConnRequested) {
      if (wantSetup_.load()) ConfigureRndisAddress();
      Connect();
    }
    plat::Sleep(kRetrySleepMs);
  }
  Disconnect();
}

bool TWinSockThread::Connect() {
  cls::MutexLock link(linkMutex_);
  if (state_.load() != ConnRequested || cancel_.load()) return connected_.load();
  attempts_.fetch_add(1);
  const uint32_t address = targetAddress_.load();
  int error = 0;
  plat::UniqueFd socket =
      plat::TcpConnect(address, targetPort_.load(), cancel_, kConnectSliceMs, &error);
  if (!socket) return false;
  const int fd = socket.Get();
  {
    cls::MutexLock send(sendMutex_);
    socket_ = std::move(socket);
    peerText_ = plat::FormatIPv4(address);
  }
  connected_.store(true);
  state_.store(ConnConnected);
  cls::MutexLock rx(rxMutex_);
  try {
    // The handler the owner installs once Open reported true reaches the thread through
    // SetReceiveHandler; bytes before that are dropped.
    rxThread_ = std::make_unique<TWinSockRxThread>(fd);
    rxThread_->Start();
  } catch (...) {
    rxThread_.reset();  // connected without a receiver
  }
  return connected_.load();
}

void TWinSockThread::Disconnect() {
  cancel_.store(true);  // an attempt in progress gives up and frees linkMutex_
  cls::MutexLock link(linkMutex_);
  connected_.store(false);
  {
    cls::MutexLock send(sendMutex_);
    if (socket_) plat::TcpShutdownSend(socket_.Get());
  }
  {
    cls::MutexLock rx(rxMutex_);
    if (rxThread_) {
      rxThread_->Handler.Clear();
      rxThread_->Terminate();
      rxThread_->WaitFor();  // its receives wait in short slices: a deaf peer cannot hold it
      rxThread_.reset();
    }
  }
  {
    cls::MutexLock send(sendMutex_);
    socket_.Reset();
    peerText_.clear();
  }
  state_.store(ConnIdle);
  cancel_.store(false);
}

void TWinSockThread::SetReceiveHandler(ReceiveHandler handler) {
  cls::MutexLock rx(rxMutex_);
  handler_ = handler;
  if (rxThread_) rxThread_->Handler.Set(handler.IsSet() ? handler : ReceiveHandler{});
}

bool TWinSockThread::PeerClosed() {
  cls::MutexLock rx(rxMutex_);
  return rxThread_ && rxThread_->Ended.load();
}

int TWinSockThread::Send(const uint8_t* buf, int len) {
  if (!connected_.load() || buf == nullptr || len <= 0) return 0;
  // After the end of the connection nothing is taken: the bytes stay with the writer.
  if (PeerClosed()) return 0;
  cls::MutexLock send(sendMutex_);
  if (!socket_ || !connected_.load()) return 0;
  int error = 0;
  const int n = plat::TcpSend(socket_.Get(), buf, len, &error);
  return n > 0 ? n : 0;
}

std::string TWinSockThread::PeerAddress() {
  cls::MutexLock send(sendMutex_);
  return peerText_;
}

bool TWinSockThread::ConfigureRndisAddress() {
  setups_.fetch_add(1);
  std::vector<plat::NetInterface> list;
  int error = 0;
  if (!plat::ListNetInterfaces(&list, &error)) {
    DebugTrace("GetAdaptersInfo call failed with " + std::to_string(error));
    return false;
  }
  // The first interface in list order that has either description is the adapter's.
  const plat::NetInterface* marked = nullptr;
  for (const plat::NetInterface& entry : list) {
    DebugTrace("Adapter Name: " + entry.Name);
    DebugTrace("Adapter Desc: " + entry.Description);
    if (entry.Description.find(kAdapterDescription) != std::string::npos ||
        entry.Description.find(kAdapterDescriptionAlt) != std::string::npos) {
      marked = &entry;
    }
    DebugTrace("IP Address: " + entry.Address);
    DebugTrace("IP Mask: " + entry.Mask);
    if (marked) break;
  }
  if (!marked) return false;
  if (marked->Address.find(kSubnetText) != std::string::npos) return true;
  const bool set = AddAdapterAddress(marked->Index, plat::ParseIPv4(kHostAddress),
                                     plat::ParseIPv4(kHostMask));
  DebugTrace(std::string("The IP address was ") + (set ? "set successfully" : "not set"));
  return true;
}

bool TWinSockThread::AddAdapterAddress(uint32_t index, uint32_t address, uint32_t mask) {
  int error = 0;
  const uint32_t code = plat::AddInterfaceAddress(index, address, mask, &error);
  DebugTrace("AddIPAddress returned: " + std::to_string(code));
  switch (code) {
    case plat::kAddressAdded:
    case plat::kAddressAlreadyExists:
      return true;
    case plat::kAddressAccessDenied:
      DebugPrint("Admin privileges are needed to make this call.");
      RunAddressTool([this] { return Terminated(); });
      return true;
    default:
      DebugTrace("The IP address could not be added: error " + std::to_string(code));
      DebugTrace(plat::SystemErrorText(error));
      return false;
  }
}

void RunAddressTool(const std::function<bool()>& stop) {
  try {
    const std::string tool = ReadToolPath();
    DebugTrace("Starting " + tool);
    // Found once, before the start changes to the working directory: a path with a folder
    // from the current directory; a bare name beside the program, here, then on PATH.
    const std::string program = plat::ResolveProgramPath(tool);
    const std::string folder = FolderOf(tool).empty() ? "" : FolderOf(program);
    int error = ENOENT;
    bool ended = false;
    if (!program.empty() && plat::RunProgramAndWait({program, kToolArgument}, folder,
                                                    kToolWaitMs, stop, &error, &ended)) {
      DebugPrint("Waiting for Korvu.exe to complete.");
      DebugPrint("Korvu.exe has completed.");
      return;
    }
    DebugTrace("CreateProcess error: " + std::to_string(error));
    // A tool the user may not run (installed for administrators only) is the program that
    // requires elevation.
    if (error == EACCES || error == EPERM) {
      int shellError = 0;
      if (!plat::StartElevatedProgram({program, kToolArgument}, folder, &shellError)) {
        DebugTrace("ShellExecute error: " + std::to_string(shellError));
      }
    }
  } catch (...) {
    DebugPrint("An exception happened when starting Korvu.exe.");
  }
}

}  // namespace dral
