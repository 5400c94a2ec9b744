#include "links/FtdiConduit.h"

#include <charconv>
#include <exception>
#include <vector>

#include "classlib/Logger.h"
#include "classlib/exception.h"
#include "plat/tick.h"

namespace dral {
namespace {

using cls::DebugPrint;

// `text` as a whole decimal integer; kDefaultBaudRate when it is not one.
int ParseBaudRate(const std::string& text) {
  int value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || text.empty()) return TFtdiConduit::kDefaultBaudRate;
  return value;
}

}  // namespace

// ---- TFtdiRxThread
// -------------------------------------------------------------------------------

TFtdiRxThread::TFtdiRxThread(const plat::Ftd2xxLibrary& library, plat::FtHandle handle,
                             const std::atomic<uint8_t>* debugLevelRef)
    : cls::TThread(true), library_(library), FtHandle(handle), DebugLevelRef(debugLevelRef) {}

TFtdiRxThread::~TFtdiRxThread() {
  Terminate();
  WaitFor();  // each cycle is one status poll and at most one read of queued bytes
}

void TFtdiRxThread::Execute() {
  while (!Terminated()) {
    try {
      Cycle();
    } catch (const std::exception&) {
      if (DebugLevelRef && DebugLevelRef->load(std::memory_order_relaxed) >= 1) {
        DebugPrint("Exception occurred in FTDI Usb Read.");
      }
    }
  }
}

void TFtdiRxThread::Cycle() {
  if (!FtHandle) {
    plat::Sleep(kIdleMs);
    return;
  }
  plat::Sleep(kPollMs);
  plat::FtDword rx = 0;
  plat::FtDword tx = 0;
  plat::FtDword events = 0;
  if (library_.FT_GetStatus(FtHandle, &rx, &tx, &events) != plat::kFtOk) return;
  if (rx == 0) return;
  const plat::FtDword want = rx < kBufferSize ? rx : kBufferSize;
  plat::FtDword got = 0;
  if (library_.FT_Read(FtHandle, Buffer, want, &got) != plat::kFtOk) return;
  if (got > want) got = want;  // never trust the library's count beyond what was asked
  if (got > 0) Handler.Call(Buffer, static_cast<int>(got));
}

// ---- TFtdiConduit
// --------------------------------------------------------------------------------

TFtdiConduit::TFtdiConduit(const std::string& libraryPath) {
  if (!library_.Load(libraryPath) || !library_.Complete()) {
    library_.Unload();
    throw cls::Exception(kLoadError);
  }
  // The vendor's Linux library lists and opens a device with ids other than its own only once
  // it was told them; a library without this entry point (other platforms) needs no telling.
  // The setting is the library's own and lasts while it is loaded, so once is enough.
  if (library_.FT_SetVIDPID) library_.FT_SetVIDPID(kDeviceId >> 16, kDeviceId & 0xFFFFu);
}

TFtdiConduit::~TFtdiConduit() {
  Close();
  library_.Unload();
}

bool TFtdiConduit::Open(std::string openArg1, std::string /*openArg2*/) {
  baudRate_.store(ParseBaudRate(openArg1));
  if (ftHandle_.load()) return false;

  plat::FtDword count = 0;
  if (library_.FT_CreateDeviceInfoList(&count) != plat::kFtOk || count == 0) return false;
  std::vector<plat::FtDeviceListInfoNode> nodes(count);
  plat::FtDword listed = count;
  if (library_.FT_GetDeviceInfoList(nodes.data(), &listed) != plat::kFtOk) {
    DebugPrint("Unable to get FTDI device list.");
    return false;
  }
  if (listed < nodes.size()) nodes.resize(listed);  // never walk beyond what was filled

  plat::FtHandle handle = nullptr;
  for (auto& node : nodes) {
    if (node.ID != kDeviceId) continue;
    node.SerialNumber[sizeof node.SerialNumber - 1] = '\0';  // a text, whatever the library gave
    plat::FtHandle opened = nullptr;
    if (library_.FT_OpenEx(node.SerialNumber, plat::kFtOpenBySerialNumber, &opened) !=
            plat::kFtOk ||
        !opened) {
      DebugPrint("Unable to open an FTDI device that matches the search.");
      continue;
    }
    handle = opened;
    break;
  }
  if (!handle) return false;

  library_.FT_SetBaudRate(handle, static_cast<plat::FtDword>(baudRate_.load()));
  library_.FT_SetDataCharacteristics(handle, 8, 0, 0);
  library_.FT_SetFlowControl(handle, 0, 0, 0);
  library_.FT_SetTimeouts(handle, kTimeoutMs, kTimeoutMs);
  library_.FT_SetLatencyTimer(handle, kLatencyMs);
  {
    cls::WriterLock lock(handleGate_);
    ftHandle_.store(handle);
  }
  rxThread_ = std::make_unique<TFtdiRxThread>(library_, handle, &DebugLevel);
  rxThread_->Handler.Set(handler_);
  rxThread_->Start();
  plat::Sleep(kStartPauseMs);
  return true;
}

void TFtdiConduit::StopRxThread() {
  if (!rxThread_) return;
  rxThread_->Terminate();
  rxThread_->WaitFor();  // within one poll cycle plus the handler's run
  rxThread_.reset();
}

void TFtdiConduit::Close() {
  StopRxThread();
  plat::FtHandle handle = nullptr;
  {
    // Waits for a write in progress; later writes find no handle.
    cls::WriterLock lock(handleGate_);
    handle = ftHandle_.exchange(nullptr);
  }
  if (handle) library_.FT_Close(handle);
}

bool TFtdiConduit::IsOpen() {
  return ftHandle_.load() != nullptr;
}

void TFtdiConduit::SetReceiveHandler(ReceiveHandler handler) {
  handler_ = handler;
  if (rxThread_) rxThread_->Handler.Set(handler);
}

int TFtdiConduit::Write(const uint8_t* buf, int len) {
  if (!buf || len <= 0) return 0;
  cls::ReaderLock lock(handleGate_);
  const plat::FtHandle handle = ftHandle_.load();
  if (!handle) return 0;
  plat::FtDword written = 0;
  const plat::FtStatus status = library_.FT_Write(handle, const_cast<uint8_t*>(buf),
                                                  static_cast<plat::FtDword>(len), &written);
  if (status != plat::kFtOk) {
    lastStatus_.store(status);
    return 0;
  }
  return written > static_cast<plat::FtDword>(len) ? len : static_cast<int>(written);
}

}  // namespace dral
