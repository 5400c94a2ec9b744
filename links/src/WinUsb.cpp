#include "links/WinUsb.h"

#include <cerrno>
#include <memory>
#include <mutex>

#include "classlib/exception.h"
#include "plat/debug.h"

namespace dral {
namespace {

constexpr const char* kLogRxStarting = "WinUSB DLA Rx Thread starting.";
constexpr const char* kLogOpenFailed = "Unable to open a handle to the USB DLA device.";
constexpr uint8_t kAlternateSetting = 0;

// The outcome of a library transfer call (`ok`, with errno right after it) as the device layer
// reports its own: non-zero is done at once, errno EINPROGRESS is pending, anything else failed.
plat::IoResult TransferResult(int ok, uint32_t transferred) {
  if (ok != 0) return {plat::IoStatus::Completed, transferred, plat::kErrorSuccess};
  const uint32_t error = plat::ErrorFromErrno(errno);
  if (error == plat::kErrorIoPending) return {plat::IoStatus::Pending, 0, error};
  return {plat::IoStatus::Failed, 0, error};
}

}  // namespace

// --- TWinUsbRxThread -------------------------------------------------------------------------

TWinUsbRxThread::TWinUsbRxThread(TUsbPort& port, plat::DeviceHandle device,
                                 plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                                 plat::WinUsbReadPipeFn readPipe)
    : TUsbRxThread(port, device),
      InterfaceHandle(interfaceHandle),
      PipeId(pipeId),
      WinUsb_ReadPipe(readPipe) {}

TWinUsbRxThread::~TWinUsbRxThread() {
  Terminate();
  WaitFor();
}

plat::IoResult TWinUsbRxThread::StartRead(COverlapped& overlapped) {
  uint32_t n = 0;
  const int ok = WinUsb_ReadPipe(InterfaceHandle, PipeId, Buffer, kBufferSize, &n, &overlapped);
  return TransferResult(ok, n);
}

const char* TWinUsbRxThread::StartText() const { return kLogRxStarting; }

// --- TWinUsbPort -----------------------------------------------------------------------------

TWinUsbPort::TWinUsbPort() : TUsbPort(kInterfaceClass) {}

TWinUsbPort::~TWinUsbPort() {
  Terminate();
  WaitFor();
}

void TWinUsbPort::ThreadStarting() {
  // A missing library is not an error yet: it matters only once a device turns up.
  if (!Library.Load()) plat::OutputDebugString("WinUSB library not loaded: " + Library.Error());
  libraryLoaded_.store(Library.IsLoaded());
}

void TWinUsbPort::ThreadEnding() {
  {
    cls::WriterLock gate(TransferGate);
    Library.Unload();
  }
  libraryLoaded_.store(false);
}

bool TWinUsbPort::OpenDevice(const std::string& path) {
  if (!Library.Initialize || !Library.Free || !Library.QueryInterfaceSettings ||
      !Library.QueryPipe || !Library.ReadPipe || !Library.WritePipe) {
    throw cls::Exception("the WinUSB library or one of its entry points is missing");
  }
  uint32_t error = plat::kErrorSuccess;
  const plat::DeviceHandle handle = plat::CreateDeviceFile(path, &error);
  if (handle == 0) {
    Log(kLogOpenFailed);
    return false;
  }
  // Kept in the port from here on, so that whatever ends this attempt early leaves the
  // handles to CloseDevice; no write uses them before the port reports itself connected.
  DeviceHandle.store(handle);

  bool found = false;
  {
    plat::UniqueFd fd = plat::DuplicateDeviceDescriptor(handle, &error);
    plat::WinUsbInterfaceHandle interfaceHandle = nullptr;
    if (fd && Library.Initialize(fd.Get(), &interfaceHandle) != 0) {
      InterfaceHandle.store(interfaceHandle);
      plat::UsbInterfaceDescriptor descriptor{};
      if (Library.QueryInterfaceSettings(interfaceHandle, kAlternateSetting, &descriptor) != 0) {
        for (unsigned index = 0; index < descriptor.bNumEndpoints; ++index) {
          plat::WinUsbPipeInformation pipe{};
          if (Library.QueryPipe(interfaceHandle, kAlternateSetting, static_cast<uint8_t>(index),
                                &pipe) == 0 ||
              pipe.PipeType != plat::kUsbPipeTypeBulk) {
            continue;
          }
          if ((pipe.PipeId & plat::kUsbEndpointDirectionIn) != 0) {
            InPipeId.store(pipe.PipeId);
            found = true;
            if (!RxThread) {
              StartRxThread(std::make_unique<TWinUsbRxThread>(*this, handle, interfaceHandle,
                                                              pipe.PipeId, Library.ReadPipe));
            }
          } else {
            OutPipeId.store(pipe.PipeId);
          }
        }
      }
    }
  }
  if (!found) {
    // Nothing was started and nothing registered: free both handles, so the next cycle can
    // open the same device again.
    cls::WriterLock gate(TransferGate);
    ReleaseDevice();
    return false;
  }
  RegisterRemoval(handle);
  return true;
}

void TWinUsbPort::ReleaseDevice() {
  TUsbPort::ReleaseDevice();
  if (plat::WinUsbInterfaceHandle interfaceHandle = InterfaceHandle.exchange(nullptr)) {
    if (Library.Free) Library.Free(interfaceHandle);
  }
}

plat::IoResult TWinUsbPort::StartWrite(const uint8_t* buf, uint32_t len,
                                       COverlapped& overlapped) {
  if (!Library.WritePipe) return {plat::IoStatus::Failed, 0, plat::kErrorInvalidHandle};
  uint32_t n = 0;
  const int ok =
      Library.WritePipe(InterfaceHandle.load(), OutPipeId.load(), buf, len, &n, &overlapped);
  return TransferResult(ok, n);
}

}  // namespace dral
