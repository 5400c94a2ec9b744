// The WinUSB link's device side: an adapter bound to the generic WinUSB driver, reached through
// the bulk pipes of its interface with the WinUSB library (plat/winusb.h), loaded at run time.
//
// TWinUsbPort and TWinUsbRxThread work as TUsbPort and TUsbRxThread (same cycle, waits, log
// file and texts, removal handling) with these differences:
//  - the port thread loads the library before its first cycle and unloads it after its last.
//    A library or entry point that is missing is noticed only when a device of the class is
//    found: the port thread then ends as on any failure in a cycle, and the link never
//    connects. Without such a device it keeps hunting;
//  - an open initialises the interface and looks at its pipes in the device's order: a bulk IN
//    pipe makes the open succeed (the receive thread is started at once, reading that pipe),
//    any other bulk pipe is the OUT pipe. An open without a bulk IN pipe fails and frees what
//    it took; the device is tried again in the next cycle;
//  - InPipeId and OutPipeId keep their values across opens until new pipes are found;
//  - reads and writes are pipe transfers; a pending one is cancelled on its own record.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "links/Usb.h"
#include "plat/winusb.h"

namespace dral {

class TWinUsbRxThread : public TUsbRxThread {
 public:
  // Created suspended; reads pipe `pipeId` of `interfaceHandle` with `readPipe`.
  TWinUsbRxThread(TUsbPort& port, plat::DeviceHandle device,
                  plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                  plat::WinUsbReadPipeFn readPipe);
  ~TWinUsbRxThread() override;

  const plat::WinUsbInterfaceHandle InterfaceHandle;  // the port's (not owned)
  const uint8_t PipeId;                               // the IN pipe read
  const plat::WinUsbReadPipeFn WinUsb_ReadPipe;

 protected:
  plat::IoResult StartRead(COverlapped& overlapped) override;
  const char* StartText() const override;
};

class TWinUsbPort : public TUsbPort {
 public:
  static constexpr const char* kInterfaceClass = "{B3B99BA9-11D6-4EB9-ACD4-349BDD50810F}";
  static constexpr uint8_t kNoPipe = 0xFF;  // pipe id before any was found

  TWinUsbPort();  // created suspended
  ~TWinUsbPort() override;

  // The open device's interface; null when none.
  std::atomic<plat::WinUsbInterfaceHandle> InterfaceHandle{nullptr};
  std::atomic<uint8_t> InPipeId{kNoPipe};
  std::atomic<uint8_t> OutPipeId{kNoPipe};

  // The library was loaded when the port thread started (it stays loaded until the thread ends).
  bool LibraryLoaded() const { return libraryLoaded_.load(); }

 protected:
  void ThreadStarting() override;
  void ThreadEnding() override;
  bool OpenDevice(const std::string& path) override;
  void ReleaseDevice() override REQUIRES(TransferGate);
  plat::IoResult StartWrite(const uint8_t* buf, uint32_t len, COverlapped& overlapped) override
      REQUIRES_SHARED(TransferGate);

  // Loaded and unloaded by the port thread; writes use it only while a device is open.
  plat::WinUsbLibrary Library;

 private:
  bool FindPipes(plat::WinUsbInterfaceHandle interfaceHandle, plat::DeviceHandle device);

  std::atomic<bool> libraryLoaded_{false};
};

}  // namespace dral
