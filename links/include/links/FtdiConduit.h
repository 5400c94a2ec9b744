// TFtdiConduit: the link to an adapter built around an FTDI USB-serial chip (vendor 0x14EC,
// product 0x9280), reached through the D2XX library loaded at run time (plat/ftd2xx.h).
//
// Unlike the USB links it has no hunting thread: Open lists the attached devices, opens the
// first matching one that opens (by serial number), configures it (baud rate, 8 data bits, one
// stop bit, no parity, no flow control, 2000 ms time-outs, 1 ms latency) and starts a
// TFtdiRxThread that polls the device about every millisecond and hands what it reads, in
// blocks of at most kBufferSize bytes, to the receive handler. Open while a device is open
// returns false and changes nothing but BaudRate. There is no removal notice: an unplugged
// device stays open until the link manager drops the silent link and calls Close.
//
// The constructor throws cls::Exception("Unable to load FTDI DLL (FTD2XX.DLL).") when the
// library or one of its entry points (all but FT_Open) is missing; the link manager then leaves
// the link out.
//
// Threads: Open, Close, IsOpen, SetReceiveHandler on the link manager's thread; Write on the
// transmit thread; the reads on the receive thread. Write holds handleGate_ shared while it
// uses the handle and Close takes it exclusively to close the handle, so a write never reaches a
// handle that is being (or was) closed. Close stops and joins the receive thread before it
// closes the handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "links/Conduit.h"
#include "plat/ftd2xx.h"

namespace dral {

class TFtdiRxThread : public cls::TThread {
 public:
  static constexpr uint32_t kBufferSize = 4096;
  static constexpr uint32_t kPollMs = 1;   // between status polls while open
  static constexpr uint32_t kIdleMs = 10;  // while no handle is set

  // Created suspended; polls `handle` (not owned) through `library`.
  TFtdiRxThread(const plat::Ftd2xxLibrary& library, plat::FtHandle handle,
                const std::atomic<uint8_t>* debugLevelRef);
  ~TFtdiRxThread() override;

  ReceiveHandlerSlot Handler;

 protected:
  void Execute() override;

 private:
  void Cycle();

  const plat::Ftd2xxLibrary& library_;
  const plat::FtHandle FtHandle;
  const std::atomic<uint8_t>* const DebugLevelRef;
  uint8_t Buffer[kBufferSize] = {};
};

class TFtdiConduit : public TConduit {
 public:
  static constexpr uint32_t kDeviceId = 0x14EC9280;  // vendor 0x14EC, product 0x9280
  static constexpr int kDefaultBaudRate = 115200;
  static constexpr uint32_t kTimeoutMs = 2000;   // read and write time-outs of the device
  static constexpr uint8_t kLatencyMs = 1;
  static constexpr uint32_t kStartPauseMs = 5;   // after starting the receive thread
  static constexpr const char* kPortName = "Ostrel Xov";
  static constexpr const char* kPortInfo = "USB Full Speed";
  static constexpr const char* kLoadError = "Unable to load FTDI DLL (FTD2XX.DLL).";

  // Loads the library from `libraryPath`, or as Ftd2xxLibrary::Load finds it when empty.
  explicit TFtdiConduit(const std::string& libraryPath = {});
  ~TFtdiConduit() override;

  bool Open(std::string openArg1, std::string openArg2) override;
  void Close() override;
  bool IsOpen() override;
  void SetReceiveHandler(ReceiveHandler handler) override;
  int Write(const uint8_t* buf, int len) override;
  std::string PortName() override { return kPortName; }
  std::string PortInfo() override { return kPortInfo; }

  int BaudRate() const { return baudRate_.load(); }
  uint32_t LastStatus() const { return lastStatus_.load(); }
  TFtdiRxThread* RxThread() const { return rxThread_.get(); }

 private:
  void StopRxThread();

  plat::Ftd2xxLibrary library_;
  std::unique_ptr<TFtdiRxThread> rxThread_;  // link manager's thread only
  ReceiveHandler handler_;                   // link manager's thread only
  std::atomic<int> baudRate_{kDefaultBaudRate};
  std::atomic<uint32_t> lastStatus_{0};

  // Shared by Write while it uses the handle, exclusive while Close closes it.
  cls::SharedMutex handleGate_;
  std::atomic<plat::FtHandle> ftHandle_{nullptr};
};

}  // namespace dral
