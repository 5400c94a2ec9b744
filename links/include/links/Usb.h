// The USB driver link's device side. The adapter's own driver offers the adapter as a device
// interface of the class kInterfaceClass; the link talks to it with overlapped reads and writes.
//
//  - TUsbPort: a thread that hunts for the device (enumerates every kHuntSleepMs while none is
//    open, opens the first one listed), carries the writes and closes the device when it goes
//    away. It runs from construction on, whether or not the link manager ever picks the link.
//  - TUsbRxThread: reads the open device and hands every block to the port's receive handler.
//    It lives exactly as long as a device is open.
//
// Opening and closing belong to the port thread alone. A removal notice (the registrar calls
// OnDeviceRemoved on its thread) and a hang-up seen by the receive thread only mark the device
// as gone: Connected turns false at once and the port thread closes the device in its next
// cycle. Closing stops the receive thread first and then waits for a write in progress to leave
// the transfer gate, so no transfer ever uses a handle that is being closed.
//
// Logging: the texts below go to LogFileName ("DralUsbLog.txt" in the current directory) when
// the port's LogEnabled is set or its ServerLogging is on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "links/Conduit.h"
#include "links/DeviceRegistrar.h"
#include "plat/device_interface.h"
#include "plat/overlapped.h"

namespace dral {

// The record of one overlapped operation with its own manual-reset event (clear when built,
// released with the record). Each write uses one of its own.
using COverlapped = plat::Overlapped;

class TUsbPort;

class TUsbRxThread : public cls::TThread {
 public:
  static constexpr uint32_t kBufferSize = 2048;  // largest block one read delivers
  static constexpr uint32_t kWaitSliceMs = 5;    // a pending read is checked this often
  static constexpr uint32_t kPauseMs = 1;        // after every read

  // Created suspended; `port` owns the thread and outlives it.
  TUsbRxThread(TUsbPort& port, plat::DeviceHandle device);
  ~TUsbRxThread() override;  // stops and joins the thread

  const plat::DeviceHandle DeviceHandle;  // the port's device (not owned)
  // Copies of the port's, set before Start.
  std::string LogFileName;
  bool LogEnabled = false;

 protected:
  void Execute() override;
  // Starts one read of up to kBufferSize bytes into Buffer.
  virtual plat::IoResult StartRead(COverlapped& overlapped);
  virtual const char* StartText() const;

  TUsbPort& Port;
  uint8_t Buffer[kBufferSize] = {};  // reused by every read

 private:
  plat::IoResult AwaitRead();
  bool LogActive() const;
  void Log(const std::string& text) const;

  COverlapped ReadOverlapped;  // its event is the read event
};

class TUsbPort : public cls::TThread {
 public:
  static constexpr const char* kInterfaceClass = "{B2A7A7FA-CA82-474B-9BDC-9E4F66F07FB1}";
  static constexpr const char* kLogFileName = "DralUsbLog.txt";
  static constexpr uint32_t kConnectedSleepMs = 3;  // cycle while a device is open
  static constexpr uint32_t kHuntSleepMs = 15;      // after an empty enumeration or failed open
  static constexpr uint32_t kWriteWaitMs = 50;       // a write waits this long, then as long
                                                    // again unless the port is stopping
  static constexpr uint32_t kWriteSliceMs = 5;      // a waiting write checks for a close

  TUsbPort();  // created suspended: start it with Start()
  ~TUsbPort() override;  // stops and joins the thread (which closes the device)

  // Writes `len` bytes on the caller's thread. Returns the number of bytes the device took:
  // 0 when not connected or when the write failed or was not completed within twice
  // kWriteWaitMs; a write cut short after part of the block went out returns that part, so the
  // caller sends only the rest again.
  int Write(const uint8_t* buf, int len);

  // Installs the receive handler (an unset one detaches). On return no call through the old
  // handler is still running. The link manager's thread.
  void SetReceiveHandler(ReceiveHandler handler);

  // The removal handler the port registers with the device registrar; runs on the registrar's
  // thread. Marks the device gone; the port thread closes it.
  void OnDeviceRemoved(void* sender);

  // Diagnostics: enumerations and open attempts made so far.
  uint32_t Enumerations() const { return enumerations_.load(std::memory_order_relaxed); }
  uint32_t OpenAttempts() const { return openAttempts_.load(std::memory_order_relaxed); }

  const std::string InterfaceClass;
  std::string LogFileName = kLogFileName;  // set before Start
  std::atomic<bool> LogEnabled{false};
  // The server's Logging choice (the link's SetLogging); any thread may switch it.
  std::atomic<bool> ServerLogging{false};
  // A device is open and usable; set by each open attempt, cleared when the device goes.
  std::atomic<bool> Connected{false};
  std::atomic<plat::DeviceHandle> DeviceHandle{0};  // the open device; 0 when none
  ReceiveHandlerSlot Handler;  // called by the receive thread with every block

 protected:
  explicit TUsbPort(std::string interfaceClass);

  void Execute() override;
  // Before the first cycle and after the last (after the device was closed).
  virtual void ThreadStarting() {}
  virtual void ThreadEnding() {}

  void EnumerateDevices(std::vector<std::string>& list);
  // Opens `path`: stores DeviceHandle, registers for removal, starts the receive thread.
  virtual bool OpenDevice(const std::string& path);
  void CloseDevice();
  // Frees the device's handles; called by CloseDevice with the transfer gate held exclusively.
  virtual void ReleaseDevice() REQUIRES(TransferGate);
  // Starts one write of `len` bytes; called with the transfer gate held shared.
  virtual plat::IoResult StartWrite(const uint8_t* buf, uint32_t len, COverlapped& overlapped)
      REQUIRES_SHARED(TransferGate);

  bool LogActive() const;
  void Log(const std::string& text) const;
  void RegisterRemoval(plat::DeviceHandle device);
  // Takes a receive thread created suspended, gives it the log settings and starts it.
  void StartRxThread(std::unique_ptr<TUsbRxThread> thread);

  // Port thread only.
  std::vector<std::string> DevicePaths;
  std::unique_ptr<TUsbRxThread> RxThread;  // null while no device is open

  // Held shared by a write for its whole transfer and exclusively while the device's handles
  // are freed (and, for the WinUSB port, while its library is unloaded).
  cls::SharedMutex TransferGate;

 private:
  friend class TUsbRxThread;

  void Cycle();
  // Marks the open device as gone (a removal notice or a hang-up); the port thread closes it.
  void RequestRemoval();
  void UnregisterRemoval();
  bool AwaitTransfer(COverlapped& overlapped);

  std::atomic<bool> removalRequested_{false};
  std::atomic<bool> closing_{false};  // CloseDevice is waiting for the gate
  std::atomic<uint32_t> enumerations_{0};
  std::atomic<uint32_t> openAttempts_{0};
  TDeviceRegistrar* registrar_ = nullptr;  // where the open device is registered; port thread
};

}  // namespace dral
