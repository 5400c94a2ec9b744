#include "links/Usb.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "classlib/Logger.h"
#include "plat/tick.h"

namespace dral {
namespace {

// Log texts.
constexpr const char* kLogEnumerated = "The Usb Enumeration returned ";
constexpr const char* kLogEnumeratedTail = " device(s).";
constexpr const char* kLogThreadFailed =
    "An exception has occured in the Usb connection manager thread.";
constexpr const char* kLogTerminating = "The Usb connection object is terminating.";
constexpr const char* kLogOpenFailed = "Unable to open a handle to the USB DLA device.";
constexpr const char* kLogClosing = "Closing the handle to the USB DLA device.";
constexpr const char* kLogRemoved = "Received a callback from the notification form.";
constexpr const char* kLogWriteException = "ERROR - An exception occurred in Usb WriteFile.";
constexpr const char* kLogRxStarting = "USB Rx Thread starting.";
constexpr const char* kLogRxStopping = "USB Rx Thread stopping.";
constexpr const char* kLogReadException = "Exception occurred in Usb ReadFile.";

}  // namespace

// --- TUsbRxThread ----------------------------------------------------------------------------

TUsbRxThread::TUsbRxThread(TUsbPort& port, plat::DeviceHandle device)
    : cls::TThread(true), DeviceHandle(device), Port(port) {}

TUsbRxThread::~TUsbRxThread() {
  Terminate();
  WaitFor();
}

plat::IoResult TUsbRxThread::StartRead(COverlapped& overlapped) {
  return plat::ReadFile(DeviceHandle, Buffer, kBufferSize, overlapped);
}

const char* TUsbRxThread::StartText() const { return kLogRxStarting; }

bool TUsbRxThread::LogActive() const {
  return LogEnabled || Port.ServerLogging.load(std::memory_order_relaxed);
}

void TUsbRxThread::Log(const std::string& text) const {
  if (LogActive()) cls::AppendLog(text, LogFileName);
}

void TUsbRxThread::Execute() {
  Log(StartText());
  while (!Terminated()) {
    uint32_t n = 0;
    uint32_t error = plat::kErrorSuccess;
    try {
      plat::IoResult result = StartRead(ReadOverlapped);
      if (result.Pending()) result = AwaitRead();
      if (result.Completed()) {
        n = result.Bytes;
      } else {
        error = result.Error;
      }
    } catch (...) {
      n = 0;
      Log(kLogReadException);
    }
    if (n > 0) {
      Port.Handler.Call(Buffer, static_cast<int>(n));
      if (LogActive()) cls::LogHexDump(Buffer, n, true, LogFileName);
    } else if (error == plat::kErrorDeviceNotConnected) {
      // The device hung up: it is gone even when no removal notice reaches the port.
      Port.RequestRemoval();
    }
    plat::Sleep(kPauseMs);
  }
  Log(kLogRxStopping);
}

plat::IoResult TUsbRxThread::AwaitRead() {
  for (;;) {
    switch (ReadOverlapped.Wait(kWaitSliceMs)) {
      case plat::WaitResult::Signaled:
        return plat::GetOverlappedResult(ReadOverlapped, 0);
      case plat::WaitResult::Timeout:
        if (!Terminated()) continue;
        [[fallthrough]];
      default:
        plat::CancelIoEx(ReadOverlapped);
        return {plat::IoStatus::Failed, 0, plat::kErrorOperationAborted};
    }
  }
}

// --- TUsbPort --------------------------------------------------------------------------------

TUsbPort::TUsbPort() : TUsbPort(kInterfaceClass) {}

TUsbPort::TUsbPort(std::string interfaceClass)
    : cls::TThread(true), InterfaceClass(std::move(interfaceClass)) {}

TUsbPort::~TUsbPort() {
  Terminate();
  WaitFor();
}

bool TUsbPort::LogActive() const {
  return LogEnabled.load(std::memory_order_relaxed) ||
         ServerLogging.load(std::memory_order_relaxed);
}

void TUsbPort::Log(const std::string& text) const {
  if (LogActive()) cls::AppendLog(text, LogFileName);
}

void TUsbPort::Execute() {
  ThreadStarting();
  try {
    while (!Terminated()) Cycle();
  } catch (...) {
    // The port gives up for the rest of the run; the link stays disconnected.
    Log(kLogThreadFailed);
  }
  Log(kLogTerminating);
  CloseDevice();
  DevicePaths.clear();
  ThreadEnding();
}

void TUsbPort::Cycle() {
  if (removalRequested_.exchange(false)) {
    CloseDevice();
    return;
  }
  if (Connected.load()) {
    plat::Sleep(kConnectedSleepMs);
    return;
  }
  // A device that was marked gone while its open was still under way: close it before
  // hunting, so a handle is never left behind.
  if (DeviceHandle.load() != 0) {
    CloseDevice();
    return;
  }

  DevicePaths.clear();
  EnumerateDevices(DevicePaths);
  enumerations_.fetch_add(1, std::memory_order_relaxed);
  if (!DevicePaths.empty() && LogActive()) {
    Log(kLogEnumerated + std::to_string(DevicePaths.size()) + kLogEnumeratedTail);
    for (const std::string& path : DevicePaths) Log(path);
  }
  if (DevicePaths.empty()) {
    plat::Sleep(kHuntSleepMs);
    return;
  }
  openAttempts_.fetch_add(1, std::memory_order_relaxed);
  const bool opened = OpenDevice(DevicePaths[0]);
  Connected.store(opened && !removalRequested_.load());
  // A device that cannot be opened (busy, or a stale entry nobody serves) is tried again at
  // the hunting pace, not in a tight loop.
  if (!opened) plat::Sleep(kHuntSleepMs);
}

void TUsbPort::EnumerateDevices(std::vector<std::string>& list) {
  int error = 0;
  std::vector<std::string> found = plat::EnumerateDeviceInterfaces(InterfaceClass, &error);
  if (error != 0) return;  // the folder could not be read: the list stays as it is
  for (std::string& path : found) list.push_back(std::move(path));
}

bool TUsbPort::OpenDevice(const std::string& path) {
  uint32_t error = plat::kErrorSuccess;
  const plat::DeviceHandle handle = plat::CreateDeviceFile(path, &error);
  if (handle == 0) {
    Log(kLogOpenFailed);
    return false;
  }
  DeviceHandle.store(handle);
  RegisterRemoval(handle);
  if (!RxThread) StartRxThread(std::make_unique<TUsbRxThread>(*this, handle));
  return true;
}

void TUsbPort::StartRxThread(std::unique_ptr<TUsbRxThread> thread) {
  thread->LogFileName = LogFileName;
  thread->LogEnabled = LogEnabled.load();
  RxThread = std::move(thread);
  RxThread->Start();
}

void TUsbPort::CloseDevice() {
  Log(kLogClosing);
  Connected.store(false);
  if (RxThread) {
    RxThread->Terminate();
    RxThread->WaitFor();  // within one read wait slice plus the handler's run
    RxThread.reset();
  }
  UnregisterRemoval();
  closing_.store(true);
  {
    cls::WriterLock gate(TransferGate);
    ReleaseDevice();
  }
  closing_.store(false);
  // Whatever marked this device gone is settled with its close; no notice about it can come
  // any more (the registration has ended and the receive thread is gone).
  removalRequested_.store(false);
  Connected.store(false);
}

void TUsbPort::ReleaseDevice() {
  if (const plat::DeviceHandle handle = DeviceHandle.exchange(0)) plat::CloseDeviceFile(handle);
}

void TUsbPort::RegisterRemoval(plat::DeviceHandle device) {
  registrar_ = DeviceRegistrar();
  if (registrar_) {
    registrar_->RegisterDeviceHandle(device, TNotifyEvent::Of<&TUsbPort::OnDeviceRemoved>(this));
  }
}

void TUsbPort::UnregisterRemoval() {
  // Only the registration this port made is ended: the registrar follows one device, and a
  // registration another link made since is not this port's to end.
  if (TDeviceRegistrar* registrar = std::exchange(registrar_, nullptr)) {
    registrar->UnregisterDeviceHandle(DeviceHandle.load());
  }
}

void TUsbPort::OnDeviceRemoved(void* /*sender*/) {
  Log(kLogRemoved);
  RequestRemoval();
}

void TUsbPort::RequestRemoval() {
  removalRequested_.store(true);
  Connected.store(false);
}

void TUsbPort::SetReceiveHandler(ReceiveHandler handler) {
  Handler.Set(handler.IsSet() ? handler : ReceiveHandler{});
}

plat::IoResult TUsbPort::StartWrite(const uint8_t* buf, uint32_t len, COverlapped& overlapped) {
  return plat::WriteFile(DeviceHandle.load(), buf, len, overlapped);
}

bool TUsbPort::AwaitTransfer(COverlapped& overlapped) {
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    const uint32_t waited = plat::GetTickCount() - start;
    if (waited >= 2 * kWriteWaitMs) return false;
    if (waited >= kWriteWaitMs && Terminated()) return false;
    if (closing_.load()) return false;
    const uint32_t limit = waited < kWriteWaitMs ? kWriteWaitMs : 2 * kWriteWaitMs;
    const uint32_t slice = std::min(kWriteSliceMs, limit - waited);
    switch (overlapped.Wait(slice)) {
      case plat::WaitResult::Signaled:
        return true;
      case plat::WaitResult::Timeout:
        break;
      default:
        return false;
    }
  }
}

int TUsbPort::Write(const uint8_t* buf, int len) {
  COverlapped overlapped;
  if (!Connected.load() || buf == nullptr || len <= 0) return 0;
  cls::ReaderLock gate(TransferGate);
  if (!Connected.load()) return 0;  // checked again under the gate: the device may be closing

  uint32_t n = 0;
  bool failed = false;
  try {
    plat::IoResult result = StartWrite(buf, static_cast<uint32_t>(len), overlapped);
    if (result.Pending()) {
      if (!AwaitTransfer(overlapped)) plat::CancelIoEx(overlapped);
      result = plat::GetOverlappedResult(overlapped, 0);
    }
    // A write cut short (time-out, hang-up) reports what went out before it stopped: those
    // bytes are on their way and must not be offered again.
    n = result.Bytes;
    failed = n == 0 && !result.Completed();
  } catch (...) {
    n = 0;
    failed = true;
    Log(kLogWriteException);
  }

  if (failed) {
    if (Connected.load()) {
      Log("ERROR - Failed to write " + std::to_string(len) + " bytes to the USB device.");
    }
    return 0;
  }
  if (LogActive()) {
    cls::LogHexDump(buf, n, false, LogFileName);
    if (n != static_cast<uint32_t>(len)) {
      Log("ERROR - The number of bytes written to the Usb device is not correct (" +
          std::to_string(len) + " : " + std::to_string(n) + ").");
    }
  }
  return static_cast<int>(n);
}

}  // namespace dral
